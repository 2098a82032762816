#include "packages/PackageRemoval.h"

#include "packages/IntentRecord.h"
#include "packages/PackageController.h"
#include "packages/PackageLock.h"
#include "packages/PackageMoves.h"
#include "packages/PackageName.h"
#include "packages/PackageNotInstalled.h"
#include "packages/PackagePaths.h"
#include "packages/StagingDirectory.h"
#include "util/Logger.h"

#include <stdexcept>

void removeInstalledPackage(PackageController& controller, const std::string& name)
{
  const std::string notInstalled = "Http API: remove package - package does not exist";
  // A name that breaks the package name rule is never installed, and could name "..".
  if (!isValidPackageName(name)) {
    throw PackageNotInstalled(notInstalled);
  }
  const PackageLock lock(name);
  const std::string directory = controller.findPackagePath(name);
  if (directory.empty()) {
    throw PackageNotInstalled(notInstalled);
  }
  // Stopped first, so that its process neither holds the files nor writes new ones; then
  // moved aside in one rename, so that the package is whole or gone, never half deleted.
  const PackageController::Hold hold = controller.holdPackage(name);
  try {
    StagingDirectory aside(PackagePaths::packageRootOf(directory), "no staging directory");
    IntentRecord record;
    record.operation = IntentRecord::Operation::Removal;
    record.work = aside.path();
    record.target = directory;
    if (!writeIntentRecord(record)) {
      throw std::runtime_error("cannot write the intent record");
    }
    PackageMoves(record).complete();
  } catch (const std::runtime_error& error) {
    Logger::log("Http API: remove package - cannot move " + directory + " aside: " + error.what(),
                LogLevel::Error);
    throw std::runtime_error("Http API: remove package - package could not be removed");
  }
  // Unregistered before the hold goes, so that no start is tried on a package that is gone.
  controller.packageRemoved(name);
}
