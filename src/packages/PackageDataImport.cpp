#include "packages/PackageDataImport.h"

#include "packages/IntentRecord.h"
#include "packages/PackageController.h"
#include "packages/PackageMoves.h"
#include "packages/PackagePaths.h"
#include "packages/Probation.h"
#include "packages/StagingDirectory.h"
#include "util/Failure.h"
#include "util/FileSync.h"
#include "util/Logger.h"
#include "util/ZipUtils.h"

#include <optional>
#include <utility>

PackageDataImport::PackageDataImport(PackageController& controller, std::string packageName,
                                     std::string localDataDirectory)
    : controller(controller), packageName(std::move(packageName)),
      localDataDirectory(std::move(localDataDirectory)), lock(this->packageName)
{
}

void PackageDataImport::import(const std::string& archivePath)
{
  StagingDirectory staging(PackagePaths::packageRootOf(PackagePaths::packageRootOf(localDataDirectory)),
                           "cannot create a staging directory");
  const std::string imported = staging.path() + "localdata";
  if (const std::optional<Failure> failure = ZipUtils::extractArchive(archivePath, imported)) {
    throw *failure;
  }
  Logger::log("Importing local data to package: " + packageName, LogLevel::Info);
  if (!FileSync::syncTree(imported)) {
    throw Failure(Failure::Kind::Io, "cannot write the data to the storage");
  }
  const PackageController::Hold hold = controller.holdPackage(packageName);
  // Renames only: the local data is either the old or the imported tree, never half of
  // either, also after a crash (the record lets start-up finish the swap). The old tree
  // is deleted with the staging directory.
  IntentRecord record;
  record.operation = IntentRecord::Operation::DataImport;
  record.work = staging.path();
  record.target = localDataDirectory;
  if (!writeIntentRecord(record)) {
    throw Failure(Failure::Kind::Io, "cannot write the data to the storage");
  }
  PackageMoves moves(record);
  try {
    moves.complete();
  } catch (const Failure&) {
    if (!moves.rollBack()) {
      staging.keep();
      Logger::log("Import package data: " + staging.path() + " is kept for the next start to complete",
                  LogLevel::Error);
    }
    throw;
  }
  controller.resetCrashLoop(packageName);
  dropKeptData(controller, packageName);
}
