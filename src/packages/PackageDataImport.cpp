#include "packages/PackageDataImport.h"

#include "packages/PackageController.h"
#include "packages/PackageError.h"
#include "packages/PackagePaths.h"
#include "packages/Probation.h"
#include "packages/StagingDirectory.h"
#include "util/Logger.h"
#include "util/ZipUtils.h"

#include <unistd.h>

#include <cstdio>
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
    const PackageController::Hold hold = controller.holdPackage(packageName);
    // Renames only: the local data is either the old or the imported tree, never half of
    // either. The old one is deleted with the staging directory.
    const std::string old = staging.path() + "old";
    const bool hadData = access(localDataDirectory.c_str(), F_OK) == 0;
    if (hadData && std::rename(localDataDirectory.c_str(), old.c_str()) != 0) {
      throw std::runtime_error("Http API: import package data - cannot move the local data aside");
    }
    if (std::rename(imported.c_str(), localDataDirectory.c_str()) != 0) {
      if (hadData && std::rename(old.c_str(), localDataDirectory.c_str()) != 0) {
        staging.keep();
        Logger::log("Http API: import package data - the local data stays in " + old, LogLevel::Error);
      }
      throw std::runtime_error("Http API: import package data - cannot move the imported data into place");
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
