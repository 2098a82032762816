// Parses arbitrary bytes as the package configurations parameter and aborts if a refused
// value enabled anything.
#include "app/PackageConfigurations.h"
#include "util/Logger.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  Logger::setLevel("none");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> enabled;
  const bool parsed = forEachEnabledPackage(text, [&](const std::string& name) { enabled.push_back(name); });
  if (!parsed && !enabled.empty()) {
    std::abort();
  }
  return 0;
}
