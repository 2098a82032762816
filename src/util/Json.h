#pragma once

#include <rapidjson/document.h>

#include <cstddef>
#include <string>

namespace Json {

// Parses `text` into `document` without recursion. False, with `error` set to a short
// reason, when the text is longer than `maxBytes`, nests deeper than Limits::maxJsonDepth
// or is not valid JSON; `document` is then left empty.
bool parse(rapidjson::Document& document, const std::string& text, size_t maxBytes, std::string& error);

// The deepest nesting of arrays and objects in `text`, counted without parsing (brackets
// inside strings do not count); stops counting once `limit` is exceeded and returns it + 1.
size_t nestingDepth(const std::string& text, size_t limit);

} // namespace Json
