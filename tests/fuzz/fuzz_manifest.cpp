// Parses arbitrary bytes as a package manifest and aborts if a refused one changed the record
// or an accepted one lacks what every accepted manifest has.
#include "packages/PackageManifest.h"
#include "util/Logger.h"

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
  const bool accepted = parseManifest(manifest, text, "fuzz");
  if (!accepted && (manifest.packageName != "\x01untouched" || manifest.requiredVersion != "\x01untouched")) {
    std::abort();
  }
  // Every accepted name came from the text: it cannot be longer than it.
  if (accepted && manifest.packageName.size() + manifest.vendor.size() > text.size()) {
    std::abort();
  }
  return 0;
}
