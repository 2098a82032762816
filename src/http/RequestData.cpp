#include "http/RequestData.h"

#include "util/StringUtils.h"

#include <microhttpd.h>

#include <vector>

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
