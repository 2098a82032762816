#include "packages/PackageDataImport.h"

#include "packages/IntentRecord.h"
#include "packages/PackageController.h"
#include "packages/PackageError.h"
#include "packages/PackageMoves.h"
#include "packages/PackagePaths.h"
#include "packages/Probation.h"
#include "packages/StagingDirectory.h"
#include "util/FileSync.h"
#include "util/Logger.h"
#include "util/ZipUtils.h"

#include <stdexcept>
#include <utility>

PackageDataImport::PackageDataImport(PackageController& controller, std::string packageName,
                                     std::string localDataDirectory)
    : controller(controller), packageName(std::move(packageName)),
      localDataDirectory(std::move(localDataDirectory)), lock(this->packageName)
{
}

bool PackageDataImport::import(const std::string& archivePath)
{
  ZipUtils::clearLastError();
  try {
    StagingDirectory staging(PackagePaths::packageRootOf(PackagePaths::packageRootOf(localDataDirectory)),
                             "Http API: import package data - cannot create a staging directory");
    const std::string imported = staging.path() + "localdata";
    if (!ZipUtils::extractArchive(archivePath, imported)) {
      throw PackageError("Http API: import package data - decompression error", ZipUtils::lastError());
    }
    Logger::log("Http API: importing local data to package: " + packageName, LogLevel::Info);
    if (!FileSync::syncTree(imported)) {
      throw std::runtime_error("Http API: import package data - cannot write the data to the storage");
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
      throw std::runtime_error("Http API: import package data - cannot write the data to the storage");
    }
    PackageMoves moves(record);
    try {
      moves.complete();
    } catch (const std::runtime_error&) {
      if (!moves.rollBack()) {
        staging.keep();
        Logger::log("Http API: import package data - " + staging.path() +
                        " is kept for the next start to complete",
                    LogLevel::Error);
      }
      throw;
    }
    controller.resetCrashLoop(packageName);
    dropKeptData(controller, packageName);
    return true;
  } catch (const std::runtime_error& error) {
    Logger::log(error.what(), LogLevel::Error);
    const auto* explained = dynamic_cast<const PackageError*>(&error);
    reason = explained != nullptr ? explained->reason() : error.what();
    return false;
  }
}
