#include "app/PackageConfigurations.h"

#include "camera/ParamsManagerBase.h"
#include "packages/PackageController.h"
#include "util/Json.h"
#include "util/Limits.h"
#include "util/Logger.h"

#include <rapidjson/document.h>

#include <string>
#include <vector>

void applyPackageConfigurations(ParamsManagerBase& params, PackageController& controller)
{
  std::string text;
  const auto values = params.getParameters();
  auto found = values.find("PackageConfigurations");
  if (found != values.end()) {
    text = found->second;
  }

  std::vector<std::string> enabled;
  // An unreadable value must not stop the packages it was meant to keep enabled.
  if (!forEachEnabledPackage(text, [&](const std::string& name) { enabled.push_back(name); })) {
    return;
  }
  for (const std::string& name : controller.setEnabledPackages(enabled)) {
    Logger::log("Orvane - Package not found: " + name, LogLevel::Error);
  }
}

bool forEachEnabledPackage(const std::string& text, const std::function<void(const std::string&)>& onEnabled)
{
  rapidjson::Document document;
  std::string error;
  if (!Json::parse(document, text, Limits::maxConfigurationsBytes, error) || !document.IsObject()) {
    Logger::log("Parse package configurations error. It is not valid JSON object.", LogLevel::Error);
    return false;
  }
  for (const auto& member : document.GetObject()) {
    const std::string name(member.name.GetString(), member.name.GetStringLength());
    const rapidjson::Value& configuration = member.value;
    if (!configuration.IsObject()) {
      Logger::log("Orvane - Invalid package configuration: " + name, LogLevel::Error);
      continue;
    }
    auto flag = configuration.FindMember("enabled");
    if (flag == configuration.MemberEnd() || !flag->value.IsBool()) {
      Logger::log("Orvane - Invalid package configuration: " + name, LogLevel::Error);
      continue;
    }
    if (flag->value.GetBool()) {
      onEnabled(name);
    }
  }
  return true;
}
