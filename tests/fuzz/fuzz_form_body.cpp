// Feeds random bytes to the form body parser and to the decoding of URL paths and query
// arguments, and checks what a handler relies on: field names hold neither "&" nor "=", no
// field is made from nothing, and a decoded path or argument is never cut short by a NUL.

#include "http/RequestData.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void check(bool holds, const char* what, const std::string& input)
{
  if (!holds) {
    std::fprintf(stderr, "%s: %zu input bytes\n", what, input.size());
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const std::string input(reinterpret_cast<const char*>(data), size);

  size_t separators = 0;
  for (const char c : input) {
    separators += c == '&' ? 1 : 0;
  }
  const auto fields = parseFormBody(input);
  check(fields.size() <= separators + 1, "more fields than pieces", input);
  for (const auto& field : fields) {
    check(field.first.find_first_of("&=") == std::string::npos, "name with a separator", input);
    check(field.second.size() <= input.size(), "value longer than the body", input);
  }

  // The server hands decoding a C string, so the input ends at its first NUL.
  std::vector<char> text(input.begin(), input.end());
  text.push_back('\0');
  const size_t before = std::strlen(text.data());
  const size_t length = percentDecode(text.data());
  check(length <= before, "decoding lengthened the text", input);
  check(std::strlen(text.data()) == length, "decoded text cut short by a NUL", input);
  return 0;
}
