// Bytes that come from outside: VAPIX list answers and the web server port parameter. None
// may crash, and each result keeps its promised shape.
#include "camera/CameraParameters.h"
#include "camera/VapixAccess.h"

#include <cctype>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

bool paddedWithSpace(const std::string& text)
{
  return !text.empty() && (std::isspace(static_cast<unsigned char>(text.front())) ||
                           std::isspace(static_cast<unsigned char>(text.back())));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const std::string text(reinterpret_cast<const char*>(data), size);

  const std::optional<std::string> listed = CameraParameters::parseListValue(text);
  if (listed && (listed->find('\n') != std::string::npos || paddedWithSpace(*listed))) {
    std::abort();
  }

  try {
    uint32_t port = VapixAccess::parsePort(text);
    if (port == 0 || port > 65535) {
      std::abort();
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
