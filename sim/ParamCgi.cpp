#include "ParamCgi.h"

#include <cctype>

namespace ParamCgi {

namespace {

std::vector<std::string> splitGroups(const std::string& text)
{
  std::vector<std::string> groups;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    auto comma = text.find(',', start);
    if (comma == std::string::npos) {
      comma = text.size();
    }
    if (comma > start) {
      groups.push_back(text.substr(start, comma - start));
    }
    start = comma + 1;
  }
  return groups;
}

Answer list(const ParameterStore& store, const Arguments& arguments)
{
  std::vector<std::string> groups;
  for (const auto& [name, value] : arguments) {
    if (name == "group") {
      for (auto& group : splitGroups(value)) {
        groups.push_back(group);
      }
    }
  }
  if (groups.empty()) {
    groups.push_back("");
  }
  Answer answer;
  for (const auto& group : groups) {
    auto members = store.group(group);
    if (members.empty()) {
      answer.body += "# Error: Error -1 getting param in group '" + group + "'\n";
    }
    for (const auto& [name, value] : members) {
      answer.body += ParameterStore::platformName(name) + "=" + value + "\n";
    }
  }
  return answer;
}

Answer update(ParameterStore& store, const Arguments& arguments)
{
  Arguments pairs;
  for (const auto& argument : arguments) {
    if (argument.first != "action") {
      pairs.push_back(argument);
    }
  }
  if (pairs.empty()) {
    return {400, "# Request failed: no parameter to update\n", {}};
  }
  std::string unknown;
  auto stored = store.setAll(pairs, unknown);
  if (!stored) {
    std::string value;
    for (const auto& pair : pairs) {
      if (pair.first == unknown) {
        value = pair.second;
        break;
      }
    }
    return {200, "# Error: Error setting '" + unknown + "' to '" + value + "'!\n", {}};
  }
  return {200, "OK\n", *stored};
}

int hexValue(char c)
{
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

} // namespace

Answer handle(ParameterStore& store, const Arguments& arguments)
{
  std::string action;
  for (const auto& [name, value] : arguments) {
    if (name == "action") {
      action = value;
      break;
    }
  }
  if (action == "list") {
    return list(store, arguments);
  }
  if (action == "update") {
    return update(store, arguments);
  }
  return {400, "# Request failed: unknown action '" + action + "'\n", {}};
}

std::string percentDecode(const std::string& text, bool plusIsBlank)
{
  std::string decoded;
  decoded.reserve(text.size());
  for (std::string::size_type i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else if (c == '+' && plusIsBlank) {
      decoded += ' ';
    } else {
      decoded += c;
    }
  }
  return decoded;
}

Arguments decodeForm(const std::string& text)
{
  Arguments arguments;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    auto amp = text.find('&', start);
    if (amp == std::string::npos) {
      amp = text.size();
    }
    std::string piece = text.substr(start, amp - start);
    start = amp + 1;
    if (piece.empty()) {
      continue;
    }
    auto equals = piece.find('=');
    if (equals == std::string::npos) {
      arguments.emplace_back(percentDecode(piece, true), "");
    } else {
      arguments.emplace_back(percentDecode(piece.substr(0, equals), true),
                             percentDecode(piece.substr(equals + 1), true));
    }
  }
  return arguments;
}

} // namespace ParamCgi
