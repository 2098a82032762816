// Parses arbitrary bytes as a package manifest and aborts if a refused one changed the record
// or an accepted one lacks what every accepted manifest has.
#include "packages/PackageManifest.h"
#include "util/Logger.h"
#include "util/StringUtils.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  Logger::setLevel("none");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const std::string text(reinterpret_cast<const char*>(data), size);
  PackageManifest manifest;
  manifest.packageName = "\x01untouched";
  manifest.requiredVersion = "\x01untouched";
  const bool accepted = !parseManifest(manifest, text, "fuzz");
  if (!accepted && (manifest.packageName != "\x01untouched" || manifest.requiredVersion != "\x01untouched")) {
    std::abort();
  }
  if (!accepted) {
    return 0;
  }
  // Every accepted text came from the input, each byte of it at most three bytes once
  // repaired, and is valid UTF-8.
  if (manifest.packageName.size() + manifest.vendor.size() > 3 * text.size()) {
    std::abort();
  }
  for (const std::string* field : {&manifest.packageName, &manifest.packageMenuName, &manifest.packageVersion,
                                   &manifest.vendor, &manifest.requiredVersion, &manifest.uiLink}) {
    if (StringUtils::repairUtf8(*field) != *field) {
      std::abort();
    }
  }
  return 0;
}
