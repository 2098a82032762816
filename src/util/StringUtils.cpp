#include "util/StringUtils.h"

#include <cstdlib>

namespace StringUtils {
namespace {

// isspace() of the "C" locale, without depending on the process's current locale.
bool isBlank(char c)
{
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
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
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

std::string toLowerCopy(std::string text)
{
  toLower(text);
  return text;
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
