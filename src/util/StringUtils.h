#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Byte-string helpers. White space and case follow the POSIX locale: bytes above 127 are
// never white space and never change case.
namespace StringUtils {

// Remove leading / trailing / both white space from `text` in place and return it.
std::string& trimLeft(std::string& text);
std::string& trimRight(std::string& text);
std::string& trim(std::string& text);
std::string trimmed(std::string text);

// Lower-case every ASCII letter of `text` in place and return it.
std::string& toLower(std::string& text);
std::string toLowerCopy(std::string text);
// Whether `text` is `lowerCase` (which is all lower case) but for the case of its letters.
bool equalsLowerCase(std::string_view text, std::string_view lowerCase);

// `parts` with `separator` between neighbours; an empty list gives "".
std::string join(const std::vector<std::string>& parts, char separator);

// Appends the pieces of `text` cut at `delimiter` to `out` and returns it. Empty pieces
// between delimiters are kept; a final empty piece is appended exactly when the text ends
// with the delimiter. An empty text appends nothing. A non-zero `maxCount` stops once `out`
// (including what it held before) has that many elements.
std::vector<std::string>& split(const std::string& text, char delimiter, std::vector<std::string>& out,
                                size_t maxCount = 0);
std::vector<std::string> split(const std::string& text, char delimiter);

// Like split, with any character of `delimiters` ending a piece.
std::vector<std::string>& splitAny(const std::string& text, const std::string& delimiters,
                                   std::vector<std::string>& out, size_t maxCount = 0);
std::vector<std::string> splitAny(const std::string& text, const std::string& delimiters);

// `text` escaped for the inside of a JSON string literal: \n \r \t \b \f, a backslash
// before '"', '/' and '\', and \u00XX (lower-case hex) for every other byte below 0x20, NUL
// included. Other bytes are copied as they are.
std::string jsonEscape(const std::string& text);

// The number `text` writes with decimal digits alone (no sign, no blank), of at most
// `maxDigits` (19 or fewer) of them; empty otherwise, and for an empty text.
std::optional<uint64_t> decimalDigits(const std::string& text, size_t maxDigits);

// `text` with every byte sequence that is not well-formed UTF-8 (a stray continuation
// byte, a truncated or overlong sequence, a surrogate, a code point above U+10FFFF)
// replaced by U+FFFD, one per maximal ill-formed subpart, as Unicode recommends.
std::string repairUtf8(const std::string& text);

// `text` with every C0 control character but tab, and DEL, written as \xHH (lower-case
// hex), so that a line of it can neither end, overwrite nor recolour a line of a log.
// A backslash is not escaped: the text is for reading, not for decoding.
std::string escapeControls(const std::string& text);

// `text` as one single-quoted word for a POSIX shell: no character in it (blank, quote,
// "$", ";", newline...) is interpreted by the shell.
std::string shellQuote(const std::string& text);

} // namespace StringUtils
