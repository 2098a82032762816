#include "app/PackageConfigurations.h"

#include "camera/CameraParameters.h"
#include "packages/PackageController.h"
#include "util/Json.h"
#include "util/Limits.h"
#include "util/Logger.h"

#include <rapidjson/document.h>

#include <unistd.h>

#include <string>
#include <vector>

void applyPackageConfigurations(CameraParameters& params, PackageController& controller)
{
  std::string text;
  const auto values = params.getParameters();
  auto found = values.find("PackageConfigurations");
  if (found != values.end()) {
    text = found->second;
  }

  std::vector<std::string> enabled;
  std::vector<EnabledPackage> limits;
  // An unreadable value must not stop the packages it was meant to keep enabled.
  if (!forEachEnabledPackage(
          text,
          [&](const EnabledPackage& package) {
            enabled.push_back(package.name);
            if (package.memoryLimitValid) {
              limits.push_back(package);
            }
          },
          machineMemoryMib())) {
    return;
  }
  // Set first, so that a package registered now starts with its limit.
  for (const EnabledPackage& package : limits) {
    controller.setMemoryLimit(package.name, package.memoryLimitMib);
  }
  for (const std::string& name : controller.setEnabledPackages(enabled)) {
    Logger::log("Orvane - Package not found: " + name, LogLevel::Error);
  }
}

uint64_t machineMemoryMib()
{
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  return pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) >> 20
                                   : UINT32_MAX;
}

bool forEachEnabledPackage(const std::string& text,
                           const std::function<void(const EnabledPackage&)>& onEnabled,
                           uint64_t machineMemoryMib)
{
  rapidjson::Document document;
  if (Json::parse(document, text, Limits::maxConfigurationsBytes) || !document.IsObject()) {
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
    if (!flag->value.GetBool()) {
      continue;
    }
    EnabledPackage package;
    package.name = name;
    auto limit = configuration.FindMember("memory_limit_mib");
    if (limit != configuration.MemberEnd()) {
      const rapidjson::Value& value = limit->value;
      if (value.IsUint64() && value.GetUint64() >= 1 && value.GetUint64() <= machineMemoryMib) {
        package.memoryLimitMib = static_cast<uint32_t>(value.GetUint64());
      } else {
        package.memoryLimitValid = false;
        Logger::log("Orvane - Invalid memory limit of package " + name +
                        ": memory_limit_mib must be a whole number of MiB from 1 to " +
                        std::to_string(machineMemoryMib) + "; the previous limit stays",
                    LogLevel::Error);
      }
    }
    onEnabled(package);
  }
  return true;
}
