#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

// The cached values of the application's own parameters, keyed by short name ("LogLevel").
// Written on the main loop, read from HTTP and package threads: every read hands out a
// copy taken under the lock, so no reader sees a half-written value.
class ParameterCache {
public:
  // `appName` is the parameter group whose prefix update() strips from full names.
  explicit ParameterCache(std::string appName);

  // Stores the trimmed value under `key`, adding the key if it is new.
  void set(const std::string& key, const std::string& value);

  // Stores a reported change. The key is `name` after the first "<appName>." (compared
  // without regard to case), or the whole name. Unknown keys change nothing. Returns true
  // when the trimmed value differs from the cached one.
  bool update(const std::string& name, const std::string& value);

  bool contains(const std::string& key) const;

  // The cached value, if the key is known.
  std::optional<std::string> value(const std::string& key) const;

  // A copy of every entry, in key order.
  std::map<std::string, std::string> snapshot() const;

  // The cache key for a name as the platform reports it, e.g. "root.Orvane.LogLevel".
  std::string keyOf(const std::string& name) const;

private:
  const std::string appName;
  mutable std::mutex mutex;
  std::map<std::string, std::string> values;
};
