#include "util/StringUtils.h"

#include <cstdlib>

namespace StringUtils {
namespace {

// isspace() of the "C" locale, without depending on the process's current locale.
bool isBlank(char c)
{
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// tolower() of the "C" locale, for the same reason.
char lowerCaseOf(char c)
{
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

template <typename IsDelimiter>
std::vector<std::string>& splitWith(const std::string& text, IsDelimiter isDelimiter,
                                    std::vector<std::string>& out, size_t maxCount)
{
  if (text.empty()) {
    return out;
  }
  auto full = [&] { return maxCount != 0 && out.size() >= maxCount; };
  size_t start = 0;
  for (size_t i = 0; i < text.size() && !full(); ++i) {
    if (isDelimiter(text[i])) {
      out.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  if (!full() && start < text.size()) {
    out.push_back(text.substr(start));
  }
  if (isDelimiter(text.back())) {
    out.emplace_back();
  }
  if (out.empty()) {
    out.push_back(text);
  }
  return out;
}

} // namespace

std::string& trimLeft(std::string& text)
{
  size_t first = 0;
  while (first < text.size() && isBlank(text[first])) {
    ++first;
  }
  text.erase(0, first);
  return text;
}

std::string& trimRight(std::string& text)
{
  size_t end = text.size();
  while (end > 0 && isBlank(text[end - 1])) {
    --end;
  }
  text.erase(end);
  return text;
}

std::string& trim(std::string& text)
{
  return trimLeft(trimRight(text));
}

std::string trimmed(std::string text)
{
  trim(text);
  return text;
}

std::string& toLower(std::string& text)
{
  for (char& c : text) {
    c = lowerCaseOf(c);
  }
  return text;
}

std::string toLowerCopy(std::string text)
{
  toLower(text);
  return text;
}

bool equalsLowerCase(std::string_view text, std::string_view lowerCase)
{
  if (text.size() != lowerCase.size()) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (lowerCaseOf(text[i]) != lowerCase[i]) {
      return false;
    }
  }
  return true;
}

std::string join(const std::vector<std::string>& parts, char separator)
{
  std::string result;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) {
      result += separator;
    }
    result += parts[i];
  }
  return result;
}

std::vector<std::string>& split(const std::string& text, char delimiter, std::vector<std::string>& out,
                                size_t maxCount)
{
  return splitWith(
      text, [delimiter](char c) { return c == delimiter; }, out, maxCount);
}

std::vector<std::string> split(const std::string& text, char delimiter)
{
  std::vector<std::string> out;
  split(text, delimiter, out);
  return out;
}

std::vector<std::string>& splitAny(const std::string& text, const std::string& delimiters,
                                   std::vector<std::string>& out, size_t maxCount)
{
  return splitWith(
      text, [&delimiters](char c) { return delimiters.find(c) != std::string::npos; }, out, maxCount);
}

std::vector<std::string> splitAny(const std::string& text, const std::string& delimiters)
{
  std::vector<std::string> out;
  splitAny(text, delimiters, out);
  return out;
}

std::string jsonEscape(const std::string& text)
{
  std::string result;
  result.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
    case '\n':
      result += "\\n";
      break;
    case '\r':
      result += "\\r";
      break;
    case '\t':
      result += "\\t";
      break;
    case '\b':
      result += "\\b";
      break;
    case '\f':
      result += "\\f";
      break;
    case '"':
    case '/':
    case '\\':
      result += '\\';
      result += c;
      break;
    default:
      if (static_cast<unsigned char>(c) < 0x20) {
        static const char hex[] = "0123456789abcdef";
        result += "\\u00";
        result += hex[static_cast<unsigned char>(c) >> 4];
        result += hex[c & 0x0f];
      } else {
        result += c;
      }
    }
  }
  return result;
}

std::string shellQuote(const std::string& text)
{
  std::string result = "'";
  for (char c : text) {
    if (c == '\'') {
      result += "'\\''";
    } else {
      result += c;
    }
  }
  result += '\'';
  return result;
}

std::optional<uint64_t> decimalDigits(const std::string& text, size_t maxDigits)
{
  if (text.empty() || text.size() > maxDigits || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::strtoull(text.c_str(), nullptr, 10);
}

} // namespace StringUtils

namespace StringUtils {

namespace {

// Length of the well-formed UTF-8 sequence at the start of `bytes` (at most `size` long),
// or, when there is none, the length of its maximal ill-formed subpart (at least 1).
size_t utf8Sequence(const unsigned char* bytes, size_t size, bool& valid)
{
  const unsigned char lead = bytes[0];
  valid = false;
  if (lead < 0x80) {
    valid = true;
    return 1;
  }
  size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    // No overlong forms, no surrogates.
    low = lead == 0xe0 ? 0xa0 : 0x80;
    high = lead == 0xed ? 0x9f : 0xbf;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    // No overlong forms, nothing above U+10FFFF.
    low = lead == 0xf0 ? 0x90 : 0x80;
    high = lead == 0xf4 ? 0x8f : 0xbf;
  } else {
    return 1;
  }
  for (size_t index = 1; index < length; ++index) {
    if (index >= size) {
      return index;
    }
    const unsigned char next = bytes[index];
    const unsigned char min = index == 1 ? low : 0x80;
    const unsigned char max = index == 1 ? high : 0xbf;
    if (next < min || next > max) {
      return index;
    }
  }
  valid = true;
  return length;
}

} // namespace

std::string repairUtf8(const std::string& text)
{
  static const char replacement[] = "\xef\xbf\xbd";
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  size_t position = 0;
  // Most lines are well-formed: copied only once something must change.
  while (position < size) {
    bool valid;
    const size_t length = utf8Sequence(bytes + position, size - position, valid);
    if (!valid) {
      break;
    }
    position += length;
  }
  if (position == size) {
    return text;
  }
  std::string repaired(text, 0, position);
  repaired.reserve(size + 8);
  while (position < size) {
    bool valid;
    const size_t length = utf8Sequence(bytes + position, size - position, valid);
    if (valid) {
      repaired.append(text, position, length);
    } else {
      repaired += replacement;
    }
    position += length;
  }
  return repaired;
}

std::string escapeControls(const std::string& text)
{
  auto isControl = [](unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7f; };
  size_t first = 0;
  while (first < text.size() && !isControl(static_cast<unsigned char>(text[first]))) {
    ++first;
  }
  if (first == text.size()) {
    return text;
  }
  static const char hex[] = "0123456789abcdef";
  std::string escaped(text, 0, first);
  for (size_t index = first; index < text.size(); ++index) {
    const auto c = static_cast<unsigned char>(text[index]);
    if (isControl(c)) {
      escaped += "\\x";
      escaped += hex[c >> 4];
      escaped += hex[c & 0xf];
    } else {
      escaped += static_cast<char>(c);
    }
  }
  return escaped;
}

} // namespace StringUtils
