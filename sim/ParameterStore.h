#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The camera's parameter store: full names such as "orvane.LogLevel" or
// "Properties.System.SerialNumber", compared without regard to letter case and with an
// optional "root." in front. Safe to use from several threads.
class ParameterStore {
public:
  using Entry = std::pair<std::string, std::string>; // declared name, value

  // Applies a declarations text: one Name=Value a line (split at the first "="),
  // "#" comments and blank lines skipped, "!Name" removes a declaration. Returns the
  // lines that could not be understood, with their line numbers.
  std::vector<std::string> applyDeclarations(const std::string& text);

  std::optional<std::string> get(const std::string& name) const;

  // Stores the value of a declared parameter and returns its declared name; nothing
  // when the parameter is not declared.
  std::optional<std::string> set(const std::string& name, const std::string& value);

  // Stores every pair or, when one of the names is not declared, none of them. Returns
  // the declared names of the stored pairs, or the first unknown name in `unknown`.
  std::optional<std::vector<Entry>> setAll(const std::vector<Entry>& pairs, std::string& unknown);

  bool contains(const std::string& name) const;

  // Every parameter in the group: the parameter of that name and those below it
  // ("Brand" lists Brand.Brand, Brand.ProdNbr, ...). "" and "root" list everything.
  // Sorted by name.
  std::vector<Entry> group(const std::string& groupName) const;

  std::vector<Entry> all() const { return group(""); }

  // The name as the platform reports it: "root." and the group's first letter upper
  // case ("orvane.LogLevel" gives "root.Orvane.LogLevel").
  static std::string platformName(const std::string& declaredName);

  // Lower case without a leading "root.": the key under which a name is looked up.
  static std::string key(const std::string& name);

private:
  mutable std::mutex mutex;
  std::map<std::string, Entry> entries; // by key
};
