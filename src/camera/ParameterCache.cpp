#include "camera/ParameterCache.h"

#include "util/StringUtils.h"

ParameterCache::ParameterCache(std::string appName) : appName(std::move(appName)) {}

void ParameterCache::set(const std::string& key, const std::string& value)
{
  std::string trimmed = StringUtils::trimmed(value);
  std::lock_guard<std::mutex> lock(mutex);
  values[key] = std::move(trimmed);
}

bool ParameterCache::update(const std::string& name, const std::string& value)
{
  const std::string key = keyOf(name);
  std::string trimmed = StringUtils::trimmed(value);
  std::lock_guard<std::mutex> lock(mutex);
  auto entry = values.find(key);
  if (entry == values.end()) {
    return false;
  }
  bool changed = entry->second != trimmed;
  entry->second = std::move(trimmed);
  return changed;
}

bool ParameterCache::contains(const std::string& key) const
{
  std::lock_guard<std::mutex> lock(mutex);
  return values.count(key) != 0;
}

std::optional<std::string> ParameterCache::value(const std::string& key) const
{
  std::lock_guard<std::mutex> lock(mutex);
  auto entry = values.find(key);
  if (entry == values.end()) {
    return std::nullopt;
  }
  return entry->second;
}

std::map<std::string, std::string> ParameterCache::snapshot() const
{
  std::lock_guard<std::mutex> lock(mutex);
  return values;
}

std::string ParameterCache::keyOf(const std::string& name) const
{
  const std::string prefix = StringUtils::toLowerCopy(appName) + ".";
  size_t position = StringUtils::toLowerCopy(name).find(prefix);
  if (position == std::string::npos) {
    return name;
  }
  return name.substr(position + prefix.size());
}
