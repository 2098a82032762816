#include "packages/InterruptedOperations.h"

#include "packages/IntentRecord.h"
#include "packages/PackageMoves.h"
#include "packages/PackagePaths.h"
#include "packages/PackageSettings.h"
#include "util/Failure.h"
#include "util/FileUtils.h"
#include "util/Logger.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

namespace {
// Completes the operation recorded in `work`, if any. False when `work` must stay.
bool finish(const std::string& work)
{
  IntentRecord record;
  if (!readIntentRecord(work, record)) {
    return true; // nothing was moved yet: what is there is a copy at most
  }
  PackageMoves moves(record);
  const bool wasCommitted = moves.committed();
  try {
    moves.complete();
  } catch (const Failure& error) {
    Logger::log("Cannot complete the interrupted " + describe(record) + " (" + error.what() + "); " + work +
                    " is kept",
                LogLevel::Error);
    return false;
  }
  Logger::log("Completed the interrupted " + describe(record) +
                  (wasCommitted ? " (its new state was already in place)" : ""),
              LogLevel::Info);
  return true;
}

void recoverStaging(const std::string& packageRoot)
{
  const std::string staging = PackagePaths::stagingDirectory(packageRoot);
  for (const std::string& name : FileUtils::listEntries(staging)) {
    const std::string path = staging + name;
    const bool isWork = FileUtils::isRealDirectory(path);
    if (isWork && !finish(path + "/")) {
      continue;
    }
    // Uploads, export archives and temporary files lie there loose; an operation's
    // directory is done with once completed.
    if (!FileUtils::removeTree(path)) {
      Logger::log("Cannot remove " + path + " from the staging directory", LogLevel::Error);
    }
  }
}

void removeUnfinishedSettings(const std::string& packageRoot)
{
  for (const std::string& package : FileUtils::listEntries(packageRoot)) {
    if (!PackagePaths::isPackageEntry(package)) {
      continue;
    }
    const std::string localData = packageRoot + package + "/localdata/";
    for (const std::string& name : FileUtils::listEntries(localData)) {
      if (isUnfinishedSettingsFile(name) && !FileUtils::removeTree(localData + name)) {
        Logger::log("Cannot remove " + localData + name, LogLevel::Error);
      }
    }
  }
}

} // namespace

void recoverInterruptedOperations()
{
  for (const std::string& root : {PackagePaths::flashPackageRoot(), PackagePaths::sdPackageRoot()}) {
    recoverStaging(root);
    removeUnfinishedSettings(root);
  }
}
