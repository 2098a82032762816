#include "packages/PackageSettings.h"

#include "packages/PackageController.h"
#include "packages/PackageLock.h"
#include "packages/PackageName.h"
#include "packages/PackagePaths.h"
#include "util/Failure.h"
#include "util/FileUtils.h"

#include <csignal>
#include <memory>

namespace {

// The directory of the installed package `name`, or "" when there is none. A name that
// breaks the package name rule is never installed (and could name "." or "..").
std::string installedPath(const PackageController& controller, const std::string& name)
{
  return isValidPackageName(name) ? controller.findPackagePath(name) : std::string();
}

constexpr const char* settingsName = "settings.json";

std::string settingsFile(const std::string& packageDirectory)
{
  return packageDirectory + "/localdata/" + settingsName;
}

// The new content is built in the staging directory rather than beside the settings file,
// so that a crash never leaves an unfinished file in the local data, where the package
// would see it and an export would carry it.
bool replaceSettings(const std::string& packageDirectory, const std::string& text)
{
  const std::string root = PackagePaths::packageRootOf(packageDirectory);
  return PackagePaths::ensureStagingDirectory(root) &&
         FileUtils::replaceFile(settingsFile(packageDirectory), text, PackagePaths::stagingDirectory(root));
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
    throw Failure(Failure::Kind::NotFound, "no package " + name + " is installed");
  }
  if (!replaceSettings(directory, text)) {
    throw Failure(Failure::Kind::Io, "cannot write " + settingsFile(directory));
  }
  controller.resetCrashLoop(name);
  controller.sendSignal(name, SIGINT);
}

bool isUnfinishedSettingsFile(const std::string& name)
{
  // The temporary name FileUtils::writeFile gives a new settings file beside the old one.
  const std::string prefix = std::string(".") + settingsName + ".tmp";
  return name.compare(0, prefix.size(), prefix) == 0;
}
