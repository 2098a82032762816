#pragma once

#include "util/Failure.h"

#include <rapidjson/document.h>

#include <cstddef>
#include <optional>
#include <string>

namespace Json {

// Parses `text` into `document` without recursion. Returns nothing when it did; otherwise,
// with `document` left empty, a failure with a short reason: TooLarge when the text is longer
// than `maxBytes` or nests deeper than Limits::maxJsonDepth, BadInput when it is not valid
// JSON.
std::optional<Failure> parse(rapidjson::Document& document, const std::string& text, size_t maxBytes);

// The deepest nesting of arrays and objects in `text`, counted without parsing (brackets
// inside strings do not count); stops counting once `limit` is exceeded and returns it + 1.
size_t nestingDepth(const std::string& text, size_t limit);

} // namespace Json
