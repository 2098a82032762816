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

bool parse(rapidjson::Document& document, const std::string& text, size_t maxBytes, std::string& error)
{
  document.SetNull();
  if (text.size() > maxBytes) {
    error = "larger than " + std::to_string(maxBytes) + " bytes";
    return false;
  }
  // The depth is checked before parsing because a parsed document is also destroyed
  // recursively: a deep one would overflow the stack on the way out.
  if (nestingDepth(text, Limits::maxJsonDepth) > Limits::maxJsonDepth) {
    error = "nested deeper than " + std::to_string(Limits::maxJsonDepth) + " levels";
    return false;
  }
  document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
  if (document.HasParseError()) {
    document.SetNull();
    error = "not valid JSON";
    return false;
  }
  return true;
}

} // namespace Json
