#include "ParameterStore.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

std::string trimmed(const std::string& text)
{
  auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) {
    return "";
  }
  auto end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

} // namespace

std::string ParameterStore::key(const std::string& name)
{
  std::string lower = trimmed(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.compare(0, 5, "root.") == 0) {
    lower.erase(0, 5);
  }
  return lower;
}

std::string ParameterStore::platformName(const std::string& declaredName)
{
  std::string name = declaredName;
  if (!name.empty()) {
    name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
  }
  return "root." + name;
}

std::vector<std::string> ParameterStore::applyDeclarations(const std::string& text)
{
  std::vector<std::string> problems;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  std::lock_guard<std::mutex> lock(mutex);
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    std::string content = trimmed(line);
    if (content.empty() || content[0] == '#') {
      continue;
    }
    if (content[0] == '!') {
      std::string name = trimmed(content.substr(1));
      if (name.empty()) {
        problems.push_back("line " + std::to_string(number) + ": " + line);
      } else {
        entries.erase(key(name));
      }
      continue;
    }
    auto equals = line.find('=');
    std::string name = equals == std::string::npos ? "" : trimmed(line.substr(0, equals));
    if (name.empty() || name.find_first_of(" \t") != std::string::npos) {
      problems.push_back("line " + std::to_string(number) + ": " + line);
      continue;
    }
    if (key(name).size() < name.size()) {
      name.erase(0, 5); // a declared "root." prefix
    }
    entries[key(name)] = {name, line.substr(equals + 1)};
  }
  return problems;
}

std::optional<std::string> ParameterStore::get(const std::string& name) const
{
  std::lock_guard<std::mutex> lock(mutex);
  auto found = entries.find(key(name));
  if (found == entries.end()) {
    return std::nullopt;
  }
  return found->second.second;
}

std::optional<std::string> ParameterStore::set(const std::string& name, const std::string& value)
{
  std::string unknown;
  auto stored = setAll({{name, value}}, unknown);
  if (!stored) {
    return std::nullopt;
  }
  return stored->front().first;
}

std::optional<std::vector<ParameterStore::Entry>> ParameterStore::setAll(const std::vector<Entry>& pairs,
                                                                         std::string& unknown)
{
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto& [name, value] : pairs) {
    if (entries.count(key(name)) == 0) {
      unknown = name;
      return std::nullopt;
    }
  }
  std::vector<Entry> stored;
  for (const auto& [name, value] : pairs) {
    Entry& entry = entries[key(name)];
    entry.second = value;
    stored.push_back(entry);
  }
  return stored;
}

bool ParameterStore::contains(const std::string& name) const
{
  std::lock_guard<std::mutex> lock(mutex);
  return entries.count(key(name)) != 0;
}

std::vector<ParameterStore::Entry> ParameterStore::group(const std::string& groupName) const
{
  std::string prefix = key(groupName);
  if (prefix == "root") {
    prefix.clear();
  }
  std::vector<Entry> members;
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto& [entryKey, entry] : entries) {
    if (prefix.empty() || entryKey == prefix || entryKey.compare(0, prefix.size() + 1, prefix + ".") == 0) {
      members.push_back(entry);
    }
  }
  return members;
}
