// Parses arbitrary bytes as the package configurations parameter and aborts if a refused
// value enabled anything or a memory limit outside its range was taken.
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
  bool limitOutOfRange = false;
  const bool parsed = forEachEnabledPackage(
      text,
      [&](const EnabledPackage& package) {
        enabled.push_back(package.name);
        limitOutOfRange |= package.memoryLimitMib && (*package.memoryLimitMib == 0 || *package.memoryLimitMib > 4096);
        // A refused limit leaves the previous one: it must carry no value of its own.
        limitOutOfRange |= !package.memoryLimitValid && package.memoryLimitMib.has_value();
      },
      4096);
  if ((!parsed && !enabled.empty()) || limitOutOfRange) {
    std::abort();
  }
  return 0;
}
