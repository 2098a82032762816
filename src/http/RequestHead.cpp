#include "http/RequestHead.h"

#include "http/RequestData.h"
#include "util/Limits.h"
#include "util/StringUtils.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

constexpr std::string_view lineEnd = "\r\n";

bool isTokenChar(char c)
{
  return std::isalnum(static_cast<unsigned char>(c)) ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isPlainTargetChar(char c)
{
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte < 0x7f && c != '#';
}

std::string decoded(std::string_view text, bool plusIsSpace)
{
  std::string result(text);
  if (plusIsSpace) {
    std::replace(result.begin(), result.end(), '+', ' ');
  }
  result.resize(percentDecode(result.data()));
  return result;
}

// Whether every comma-separated token of a Connection header is one this front end acts on.
bool readConnectionTokens(const std::string& value, bool& close)
{
  const std::vector<std::string> tokens = StringUtils::split(StringUtils::toLowerCopy(value), ',');
  for (const std::string& piece : tokens) {
    const std::string token = StringUtils::trimmed(piece);
    if (token == "close") {
      close = true;
    } else if (token != "keep-alive") {
      return false;
    }
  }
  return !tokens.empty();
}

bool parseLength(const std::string& value, size_t& length)
{
  const std::optional<uint64_t> parsed = StringUtils::decimalDigits(value, 12);
  if (parsed) {
    length = static_cast<size_t>(*parsed);
  }
  return parsed.has_value();
}

} // namespace

void addQueryArguments(std::string_view query, std::map<std::string, std::string>& arguments)
{
  while (!query.empty()) {
    const size_t amper = std::min(query.find('&'), query.size());
    const std::string_view piece = query.substr(0, amper);
    const size_t equals = piece.find('=');
    if (equals != std::string_view::npos) {
      arguments[decoded(piece.substr(0, equals), true)] = decoded(piece.substr(equals + 1), true);
    }
    query.remove_prefix(std::min(amper + 1, query.size()));
  }
}

RequestHead::Kind RequestHead::parse(std::string_view bytes, RequestHead& head)
{
  const size_t headEnd = bytes.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) {
    // A bare "\n" ending a line is valid for the library, never for this parser.
    return bytes.find("\n\n") == std::string_view::npos ? Kind::Incomplete : Kind::Other;
  }
  head.length = headEnd + 4;
  std::string_view rest = bytes.substr(0, headEnd + 2);

  const size_t requestLineEnd = rest.find(lineEnd);
  const std::string_view requestLine = rest.substr(0, requestLineEnd);
  rest.remove_prefix(requestLineEnd + 2);
  const size_t firstSpace = requestLine.find(' ');
  const size_t secondSpace = requestLine.find(' ', firstSpace + 1);
  if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos ||
      requestLine.substr(secondSpace + 1) != "HTTP/1.1") {
    return Kind::Other;
  }
  head.method = std::string(requestLine.substr(0, firstSpace));
  const std::string_view target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  if ((head.method != "GET" && head.method != "POST") || target.empty() || target[0] != '/' ||
      !std::all_of(target.begin(), target.end(), isPlainTargetChar)) {
    return Kind::Other;
  }
  const size_t question = std::min(target.find('?'), target.size());
  head.path = decoded(target.substr(0, question), false);
  addQueryArguments(target.substr(std::min(question + 1, target.size())), head.arguments);

  bool hasLength = false;
  while (!rest.empty()) {
    const size_t end = rest.find(lineEnd);
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 2);
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos ||
        !std::all_of(line.begin(), line.begin() + static_cast<long>(colon), isTokenChar) ||
        line.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) {
      return Kind::Other;
    }
    const std::string name = StringUtils::toLowerCopy(std::string(line.substr(0, colon)));
    const std::string value = StringUtils::trimmed(std::string(line.substr(colon + 1)));
    if (name == "transfer-encoding" || name == "expect" || name == "upgrade" ||
        (name == "content-length" && (hasLength || !parseLength(value, head.contentLength))) ||
        (name == "connection" && !readConnectionTokens(value, head.close))) {
      return Kind::Other;
    }
    hasLength = hasLength || name == "content-length";
    head.headers[name] = value;
  }
  if (head.contentLength > Limits::maxRequestBodyBytes || (head.method == "GET" && head.contentLength > 0)) {
    return Kind::Other;
  }
  return Kind::Plain;
}
