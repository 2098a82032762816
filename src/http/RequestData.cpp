#include "http/RequestData.h"

#include "util/StringUtils.h"

#include <microhttpd.h>

#include <vector>

void RequestData::ResponseDestroyer::operator()(MHD_Response* response) const
{
  MHD_destroy_response(response);
}

std::string RequestData::argument(const std::string& name) const
{
  auto it = arguments.find(name);
  return it == arguments.end() ? std::string() : it->second;
}

std::string RequestData::header(const std::string& name) const
{
  auto it = headers.find(StringUtils::toLowerCopy(name));
  return it == headers.end() ? std::string() : it->second;
}

std::vector<std::pair<std::string, std::string>> parseFormBody(const std::string& body)
{
  std::vector<std::pair<std::string, std::string>> fields;
  for (const std::string& piece : StringUtils::splitAny(body, "&")) {
    const size_t equals = piece.find('=');
    if (equals == std::string::npos) {
      continue;
    }
    std::vector<char> value(piece.begin() + static_cast<std::ptrdiff_t>(equals) + 1, piece.end());
    value.push_back('\0');
    const size_t length = MHD_http_unescape(value.data());
    fields.emplace_back(piece.substr(0, equals), std::string(value.data(), length));
  }
  return fields;
}

namespace {

int hexValue(char c)
{
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

} // namespace

size_t percentDecode(char* text)
{
  // A decoded NUL would cut the path or value short wherever it is read as a C string: an
  // "index.html%00.png" would name index.html. Left encoded, it names nothing that exists.
  char* out = text;
  for (const char* in = text; *in != '\0';) {
    const int high = in[0] == '%' ? hexValue(in[1]) : -1;
    const int low = high < 0 ? -1 : hexValue(in[2]);
    if (low < 0 || (high | low) == 0) {
      *out++ = *in++;
      continue;
    }
    *out++ = static_cast<char>(high * 16 + low);
    in += 3;
  }
  *out = '\0';
  return static_cast<size_t>(out - text);
}
