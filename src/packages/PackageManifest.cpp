#include "packages/PackageManifest.h"

#include "app/AppContext.h"
#include "util/FileUtils.h"
#include "util/Logger.h"
#include "util/StringUtils.h"

#include <rapidjson/document.h>

#include <sstream>
#include <vector>

namespace {

// The first occurrence of `key` (FindMember searches from the front), or null when the
// member is absent or not a string.
const rapidjson::Value* stringMember(const rapidjson::Value& object, const char* key)
{
  auto member = object.FindMember(key);
  if (member == object.MemberEnd() || !member->value.IsString()) {
    return nullptr;
  }
  return &member->value;
}

std::string toString(const rapidjson::Value& value)
{
  return std::string(value.GetString(), value.GetStringLength());
}

// Reads a leading int the way `stream >> int` does; false when there are no digits or
// the number does not fit.
bool readLeadingInt(const std::string& text, int& number)
{
  std::istringstream stream(text);
  stream >> number;
  return !stream.fail();
}

} // namespace

bool readManifest(PackageManifest& manifest, const std::string& path)
{
  const std::string text = FileUtils::readFile(path);
  if (text.empty()) {
    Logger::log("Read manifest error: No such file: " + path, LogLevel::Error);
    return false;
  }

  rapidjson::Document document;
  document.Parse(text.c_str(), text.size());
  if (document.HasParseError() || !document.IsObject()) {
    Logger::log("Invalid manifest file: " + path, LogLevel::Error);
    return false;
  }

  const rapidjson::Value* required[4];
  const char* const requiredKeys[4] = {"package_name", "package_menu_name", "package_version", "vendor"};
  for (int i = 0; i < 4; ++i) {
    required[i] = stringMember(document, requiredKeys[i]);
    if (required[i] == nullptr) {
      Logger::log("Invalid manifest file: " + path, LogLevel::Error);
      return false;
    }
  }

  manifest.packageName = toString(*required[0]);
  manifest.packageMenuName = toString(*required[1]);
  manifest.packageVersion = toString(*required[2]);
  manifest.vendor = toString(*required[3]);
  if (const rapidjson::Value* value = stringMember(document, "required_orvane_version")) {
    manifest.requiredVersion = toString(*value);
  }
  if (const rapidjson::Value* value = stringMember(document, "ui_link")) {
    manifest.uiLink = toString(*value);
  }
  return true;
}

bool checkRequiredVersion(const PackageManifest& manifest, const AppContext& context)
{
  if (manifest.requiredVersion.empty()) {
    return true;
  }
  std::vector<std::string> required;
  std::vector<std::string> actual;
  StringUtils::split(manifest.requiredVersion, '.', required, 0);
  StringUtils::split(context.version, '.', actual, 0);

  for (size_t i = 0; i < required.size() && i < actual.size(); ++i) {
    int requiredNumber = 0;
    int actualNumber = 0;
    if (!readLeadingInt(required[i], requiredNumber) || !readLeadingInt(actual[i], actualNumber)) {
      continue;
    }
    if (requiredNumber > actualNumber) {
      return false;
    }
    if (requiredNumber < actualNumber) {
      return true;
    }
  }
  return true;
}
