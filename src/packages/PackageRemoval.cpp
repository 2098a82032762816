#include "packages/PackageRemoval.h"

#include "packages/IntentRecord.h"
#include "packages/PackageController.h"
#include "packages/PackageLock.h"
#include "packages/PackageMoves.h"
#include "packages/PackageName.h"
#include "packages/PackagePaths.h"
#include "packages/StagingDirectory.h"
#include "util/Failure.h"

void removeInstalledPackage(PackageController& controller, const std::string& name)
{
  const Failure notInstalled(Failure::Kind::NotFound, "no package " + name + " is installed");
  // A name that breaks the package name rule is never installed, and could name "..".
  if (!isValidPackageName(name)) {
    throw notInstalled;
  }
  const PackageLock lock(name);
  const std::string directory = controller.findPackagePath(name);
  if (directory.empty()) {
    throw notInstalled;
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
      throw Failure(Failure::Kind::Io, "cannot write the intent record");
    }
    PackageMoves(record).complete();
  } catch (const Failure& error) {
    throw Failure(error.kind(), "cannot move " + directory + " aside: " + error.what());
  }
  // Unregistered before the hold goes, so that no start is tried on a package that is gone.
  controller.packageRemoved(name);
}
