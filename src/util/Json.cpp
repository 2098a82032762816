#include "util/Json.h"

#include "util/Limits.h"

namespace Json {

size_t nestingDepth(const std::string& text, size_t limit)
{
  size_t depth = 0;
  size_t deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) {
        deepest = depth;
        if (deepest > limit) {
          return limit + 1;
        }
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

std::optional<Failure> parse(rapidjson::Document& document, const std::string& text, size_t maxBytes)
{
  document.SetNull();
  if (text.size() > maxBytes) {
    return Failure(Failure::Kind::TooLarge, "larger than " + std::to_string(maxBytes) + " bytes");
  }
  // The depth is checked before parsing because a parsed document is also destroyed
  // recursively: a deep one would overflow the stack on the way out.
  if (nestingDepth(text, Limits::maxJsonDepth) > Limits::maxJsonDepth) {
    return Failure(Failure::Kind::TooLarge,
                   "nested deeper than " + std::to_string(Limits::maxJsonDepth) + " levels");
  }
  document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
  if (document.HasParseError()) {
    document.SetNull();
    return Failure(Failure::Kind::BadInput, "not valid JSON");
  }
  return std::nullopt;
}

} // namespace Json
