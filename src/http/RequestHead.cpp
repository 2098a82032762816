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

std::string decoded(std::string_view text)
{
  std::string result(text);
  result.resize(percentDecode(result.data()));
  return result;
}

// The tokens of a Connection header; false when one is not a token.
bool readConnectionTokens(const std::string& value, std::vector<std::string>& tokens, bool& close)
{
  for (const std::string& piece : StringUtils::split(StringUtils::toLowerCopy(value), ',')) {
    const std::string token = StringUtils::trimmed(piece);
    if (token.empty() || !std::all_of(token.begin(), token.end(), isTokenChar)) {
      return false;
    }
    close = close || token == "close";
    tokens.push_back(token);
  }
  return true;
}

bool isForwardedMethod(const std::string& method)
{
  for (const char* known : {"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
    if (method == known) {
      return true;
    }
  }
  return false;
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
  if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos) {
    return Kind::Other;
  }
  const std::string_view version = requestLine.substr(secondSpace + 1);
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    return Kind::Other;
  }
  head.http10 = version == "HTTP/1.0";
  head.close = head.http10;
  head.method = std::string(requestLine.substr(0, firstSpace));
  const std::string_view target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  if (!isForwardedMethod(head.method) || target.empty() || target[0] != '/' ||
      !std::all_of(target.begin(), target.end(), isPlainTargetChar)) {
    return Kind::Other;
  }
  head.target = std::string(target);
  const size_t question = std::min(target.find('?'), target.size());
  head.path = decoded(target.substr(0, question));

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
    // Only the one transfer coding a body can be read by; a second Transfer-Encoding line
    // or one beside a Content-Length leaves the body's end in doubt.
    const bool badEncoding = name == "transfer-encoding" &&
                             (head.chunked || head.http10 || StringUtils::toLowerCopy(value) != "chunked");
    const bool badExpect =
        name == "expect" && (head.expectContinue || StringUtils::toLowerCopy(value) != "100-continue");
    if (badEncoding || badExpect ||
        (name == "content-length" && (hasLength || !parseLength(value, head.contentLength))) ||
        (name == "connection" && !readConnectionTokens(value, head.connectionTokens, head.close))) {
      return Kind::Other;
    }
    hasLength = hasLength || name == "content-length";
    head.chunked = head.chunked || name == "transfer-encoding";
    head.expectContinue = head.expectContinue || name == "expect";
    head.headers[name] = value;
    head.fields.emplace_back(std::string(line.substr(0, colon)), value);
  }
  if (head.contentLength > Limits::maxRequestBodyBytes || (hasLength && head.chunked)) {
    return Kind::Other;
  }
  return Kind::Plain;
}
