#include "app/PackageConfigurations.h"

#include "app/AppContext.h"
#include "camera/ParamsManager2.h"
#include "packages/PackageController.h"
#include "util/Json.h"
#include "util/Limits.h"
#include "util/Logger.h"

#include <rapidjson/document.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

void applyPackageConfigurations()
{
  AppContext& context = AppContext::instance();
  const std::shared_ptr<PackageController> controller = context.packageController;
  if (!controller) {
    return;
  }
  const PackageController::PackageMap registered = controller->getPackages();

  std::string text;
  if (context.paramsManager) {
    const auto values = context.paramsManager->getParameters();
    auto found = values.find("PackageConfigurations");
    if (found != values.end()) {
      text = found->second;
    }
  }

  std::set<std::string> enabled;
  const bool parsed = forEachEnabledPackage(text, [&](const std::string& name) {
    // A name given twice is registered once.
    if (enabled.insert(name).second && registered.count(name) == 0) {
      try {
        controller->addPackage(name);
      } catch (const std::runtime_error& error) {
        Logger::log(std::string("Orvane - ") + error.what(), LogLevel::Error);
      }
    }
  });
  // An unreadable value must not stop the packages it was meant to keep enabled.
  if (!parsed) {
    return;
  }

  std::vector<std::string> disabled;
  for (const auto& entry : registered) {
    if (enabled.count(entry.first) == 0) {
      disabled.push_back(entry.first);
    }
  }
  for (const std::string& name : disabled) {
    controller->removePackage(name);
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
