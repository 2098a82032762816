#include "http/RequestHead.h"

#include "http/HttpCodec.h"
#include "http/RequestData.h"
#include "util/Limits.h"
#include "util/StringUtils.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

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

} // namespace

RequestHead::Kind RequestHead::parse(std::string_view bytes, RequestHead& head)
{
  HttpCodec codec(HttpCodec::Type::Request);
  codec.stopAfterHead();
  std::string noBody;
  const size_t length = codec.read(bytes.data(), bytes.size(), noBody);
  if (codec.state() == HttpCodec::State::Head) {
    return Kind::Incomplete;
  }
  // Beyond what the codec refuses: a line ended by a bare LF (the codec takes one for the
  // empty line), a folded line, a Transfer-Encoding other than one "chunked", an Expect other
  // than "100-continue" and a target with more than visible ASCII are valid for the library,
  // which may read them otherwise than the package would.
  if (codec.state() != HttpCodec::State::Body || length < 4 || bytes.substr(length - 4, 4) != "\r\n\r\n" ||
      codec.folded()) {
    return Kind::Other;
  }
  head.length = length;
  head.http10 = codec.http10();
  head.close = head.http10;
  head.method = codec.method();
  const std::string& target = codec.target();
  // One space on each side of the target, as the library reads a request line.
  const std::string lineStart = head.method + " " + target + " ";
  if (!isForwardedMethod(head.method) || target.empty() || target[0] != '/' ||
      !std::all_of(target.begin(), target.end(), isPlainTargetChar) ||
      bytes.compare(0, lineStart.size(), lineStart) != 0) {
    return Kind::Other;
  }
  head.target = target;
  head.path = decoded(std::string_view(target).substr(0, std::min(target.find('?'), target.size())));
  head.chunked = codec.chunked();

  bool encodingSeen = false;
  for (auto& field : codec.takeFields()) {
    const std::string name = StringUtils::toLowerCopy(field.first);
    const std::string& value = field.second;
    const bool badEncoding = name == "transfer-encoding" &&
                             (encodingSeen || head.http10 || StringUtils::toLowerCopy(value) != "chunked");
    const bool badExpect =
        name == "expect" && (head.expectContinue || StringUtils::toLowerCopy(value) != "100-continue");
    if (badEncoding || badExpect || value.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos ||
        (name == "connection" && !readConnectionTokens(value, head.connectionTokens, head.close))) {
      return Kind::Other;
    }
    encodingSeen = encodingSeen || name == "transfer-encoding";
    head.expectContinue = head.expectContinue || name == "expect";
    head.headers[name] = value;
    head.fields.push_back(std::move(field));
  }
  if (codec.contentLength() > Limits::maxRequestBodyBytes || (codec.hasContentLength() && head.chunked)) {
    return Kind::Other;
  }
  head.contentLength = static_cast<size_t>(codec.contentLength());
  return Kind::Plain;
}
