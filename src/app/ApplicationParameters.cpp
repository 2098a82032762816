#include "app/ApplicationParameters.h"

#include "camera/CameraParameters.h"
#include "util/Logger.h"

#include <exception>

namespace {

constexpr guint changeSettleMilliseconds = 500;

// Main loop thread only.
std::vector<ParameterChange> pendingParameterChanges;
guint pendingChangesTimer = 0;
CameraParameters* watchedParams = nullptr;
std::function<void()> configurationsChanged;

} // namespace

std::vector<std::string> applicationParameterNames()
{
  return {"Version", "VersionHash", "Enabled", "PackageConfigurations", "NodejsLocation", "LogLevel"};
}

void watchParameterChanges(CameraParameters& params, std::function<void()> onConfigurationsChanged)
{
  watchedParams = &params;
  configurationsChanged = std::move(onConfigurationsChanged);
}

void stopWatchingParameterChanges()
{
  if (pendingChangesTimer != 0) {
    g_source_remove(pendingChangesTimer);
    pendingChangesTimer = 0;
  }
  pendingParameterChanges.clear();
  watchedParams = nullptr;
  configurationsChanged = nullptr;
}

void onParameterChanged(const char* name, const char* value, void*)
{
  if (!name) {
    return;
  }
  try {
    Logger::log(std::string("Parameter \"") + name + "\" changed", LogLevel::Info);
    // A change without a value says nothing about the new value: the cache keeps the old one.
    if (!value) {
      Logger::log(std::string("Parameter \"") + name + "\" reported without a value", LogLevel::Warning);
      return;
    }
    pendingParameterChanges.emplace_back(name, value);
    if (pendingChangesTimer != 0) {
      g_source_remove(pendingChangesTimer);
    }
    pendingChangesTimer = g_timeout_add(changeSettleMilliseconds, processChangedParameters, nullptr);
  } catch (const std::exception& error) {
    Logger::log(std::string("Parameter change not handled: ") + error.what(), LogLevel::Error);
  }
}

bool updateChangedParameters(CameraParameters& params, const std::vector<ParameterChange>& changes)
{
  bool changedConfigurations = false;
  for (const auto& [name, value] : changes) {
    if (params.updateParameter(name, value) && name.find("PackageConfigurations") != std::string::npos) {
      changedConfigurations = true;
    }
  }
  return changedConfigurations;
}

gboolean processChangedParameters(gpointer)
{
  Logger::log("Process changed params", LogLevel::Info);
  pendingChangesTimer = 0;
  std::vector<ParameterChange> changes;
  changes.swap(pendingParameterChanges);
  try {
    if (watchedParams != nullptr && updateChangedParameters(*watchedParams, changes) &&
        configurationsChanged) {
      configurationsChanged();
    }
  } catch (const std::exception& error) {
    Logger::log(std::string("Process changed params failed: ") + error.what(), LogLevel::Error);
  }
  return G_SOURCE_REMOVE;
}
