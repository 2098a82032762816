#include "packages/PackageSettings.h"

#include "packages/PackageController.h"
#include "packages/PackageLock.h"
#include "packages/PackageName.h"
#include "packages/PackageNotInstalled.h"
#include "util/FileUtils.h"

#include <csignal>
#include <memory>
#include <stdexcept>

namespace {

// The directory of the installed package `name`, or "" when there is none. A name that
// breaks the package name rule is never installed (and could name "." or "..").
std::string installedPath(const PackageController& controller, const std::string& name)
{
  return isValidPackageName(name) ? controller.findPackagePath(name) : std::string();
}

std::string settingsFile(const std::string& packageDirectory)
{
  return packageDirectory + "/localdata/settings.json";
}

} // namespace

std::string readPackageSettings(const PackageController& controller, const std::string& name)
{
  const std::string directory = installedPath(controller, name);
  return directory.empty() ? std::string() : FileUtils::readFile(settingsFile(directory));
}

void writePackageSettings(PackageController& controller, const std::string& name, const std::string& text)
{
  std::unique_ptr<PackageLock> lock;
  if (isValidPackageName(name)) {
    lock = std::make_unique<PackageLock>(name);
  }
  const std::string directory = installedPath(controller, name);
  if (directory.empty()) {
    throw PackageNotInstalled("Http API: package settings - package does not exist");
  }
  if (!FileUtils::writeFile(settingsFile(directory), text)) {
    throw std::runtime_error("Http API: package settings - write file error");
  }
  controller.resetCrashLoop(name);
  controller.sendSignal(name, SIGINT);
}
