#include "packages/PackageInstall.h"

#include "packages/IntentRecord.h"
#include "packages/PackageController.h"
#include "packages/PackageLock.h"
#include "packages/PackageManifest.h"
#include "packages/PackageMoves.h"
#include "packages/PackageName.h"
#include "packages/PackagePaths.h"
#include "packages/Probation.h"
#include "packages/StagingDirectory.h"
#include "util/Failure.h"
#include "util/FileSync.h"
#include "util/FileUtils.h"
#include "util/Logger.h"
#include "util/StringUtils.h"
#include "util/ZipUtils.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <optional>

namespace {

constexpr uint64_t bytesPerMb = 1048576;
// Room left beside an unpacked package for the file system's own bookkeeping.
constexpr uint64_t extractionMarginBytes = bytesPerMb;

std::string withoutTrailingSlash(std::string path)
{
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

// Why an unpacked tree has no readable manifest. A zip made of a folder, rather than of the
// folder's contents, is the usual cause, so that case is named.
std::string manifestFailureReason(const std::string& tree)
{
  if (FileUtils::fileSize(tree + "manifest.json") >= 0) {
    return "manifest.json at the archive's root is not a valid package manifest";
  }
  for (const FileUtils::FileEntry& entry : FileUtils::listFilesRecursive(tree)) {
    const std::string suffix = "/manifest.json";
    if (entry.path.size() > suffix.size() &&
        entry.path.compare(entry.path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return "manifest.json is in the folder " + entry.path.substr(0, entry.path.size() - suffix.size()) +
             "/ of the archive: a package's files must sit at the archive's root";
    }
  }
  return "the archive has no manifest.json at its root";
}

// Refuses an archive whose unpacked entries would not fit the storage, before anything is
// written. One that cannot be read is left to the extraction, which tells why.
void checkArchive(const std::string& archivePath, const std::string& baseDirectory)
{
  const int64_t size = ZipUtils::uncompressedSize(archivePath);
  if (size < 0) {
    return;
  }
  const uint64_t freeBytes = static_cast<uint64_t>(FileUtils::freeSpaceMb(baseDirectory)) * bytesPerMb;
  const uint64_t needed = static_cast<uint64_t>(size);
  if (needed > freeBytes || freeBytes - needed < extractionMarginBytes) {
    throw Failure(Failure::Kind::TooLarge, "not enough space to decompress the package");
  }
}

void checkManifest(const PackageManifest& manifest, const std::string& appVersion)
{
  if (manifest.packageName.empty()) {
    throw Failure(Failure::Kind::BadInput, "invalid manifest.json: package name is empty");
  }
  if (!isValidPackageName(manifest.packageName)) {
    throw Failure(Failure::Kind::BadInput,
                  "invalid manifest.json: only alphabetic characters, underscore and "
                  "coma are allowed in the package name");
  }
  if (!checkRequiredVersion(manifest, appVersion)) {
    throw Failure(Failure::Kind::BadInput,
                  "package requires Orvane version " + manifest.requiredVersion + " or newer");
  }
}

void checkStorageConflict(const PackageRuntime& runtime, const std::string& storage,
                          const std::string& packageName)
{
  const bool onOtherStorage =
      (storage == PackagePaths::flashStorage &&
       PackageController::isPackageInDirectory(runtime.sdPackageRoot, packageName)) ||
      (storage == PackagePaths::sdStorage &&
       PackageController::isPackageInDirectory(runtime.flashPackageRoot, packageName));
  if (onOtherStorage) {
    throw Failure(
        Failure::Kind::Conflict,
        packageName + " is already installed on the other storage (" +
            (storage == PackagePaths::flashStorage ? PackagePaths::sdStorage : PackagePaths::flashStorage) +
            "): remove it there first, or install it there");
  }
}

// Sets the local data that came in the archive aside, to be merged into the earlier
// installation's data (or to become the data of a first install) once the earlier one is
// set aside. Anything but a directory there can hold no data.
void setShippedDataAside(const std::string& work, const std::string& tree, const std::string& oldDirectory)
{
  const std::string shipped = tree + "localdata";
  if (!FileUtils::pathExists(shipped)) {
    return;
  }
  if (!FileUtils::isRealDirectory(shipped)) {
    throw Failure(Failure::Kind::BadInput, oldDirectory.empty()
                                               ? "create localdata dir error"
                                               : "cannot carry the local data over from " + oldDirectory);
  }
  if (std::rename(shipped.c_str(), (work + "shipped").c_str()) != 0) {
    throw Failure(Failure::Kind::Io, "create localdata dir error");
  }
}

// Puts the unpacked tree in the staging directory `work` in the place of `finalDirectory`,
// replacing the earlier installation at `oldDirectory` (empty when there is none) and
// carrying all of its local data over. Either the new tree is in place with every byte of
// the old local data, or this throws with the earlier installation back where it was, data
// and all; should even that fail, `work` is kept for the next start to complete. The moves
// returned tell where the earlier installation was set aside (see previousTree).
std::unique_ptr<PackageMoves> replaceInstallation(StagingDirectory& work, const std::string& finalDirectory,
                                                  const std::string& oldDirectory)
{
  const Failure writeError(Failure::Kind::Io, "cannot write the package to the storage");
  // Everything unpacked reaches the disk before the record that lets start-up move it.
  if (!FileSync::syncTree(work.path())) {
    throw writeError;
  }
  IntentRecord record;
  record.operation = IntentRecord::Operation::Install;
  record.work = work.path();
  record.target = withoutTrailingSlash(finalDirectory);
  record.old = oldDirectory.empty() ? std::string() : withoutTrailingSlash(oldDirectory);
  if (!writeIntentRecord(record)) {
    throw writeError;
  }
  auto moves = std::make_unique<PackageMoves>(record);
  try {
    moves->complete();
  } catch (const Failure&) {
    if (!moves->rollBack()) {
      Logger::log("Install package: " + work.path() + " is kept for the next start to complete",
                  LogLevel::Error);
      work.keep();
    }
    throw;
  }
  return moves;
}

} // namespace

void installPackage(PackageController& controller, const std::string& archivePath, const std::string& storage)
{
  const PackageRuntime& runtime = controller.runtime();
  const std::string baseDirectory =
      storage == PackagePaths::flashStorage ? runtime.flashPackageRoot : runtime.sdPackageRoot;
  checkArchive(archivePath, baseDirectory);

  const std::string stagingError =
      "cannot create a temporary directory in " + PackagePaths::stagingDirectory(baseDirectory);
  StagingDirectory work(baseDirectory, stagingError);
  const std::string tree = work.path() + "package/";
  if (mkdir(tree.c_str(), 0755) != 0) {
    throw Failure(Failure::Kind::Io, stagingError);
  }
  if (const std::optional<Failure> failure = ZipUtils::extractArchive(archivePath, tree)) {
    throw *failure;
  }
  PackageManifest manifest;
  if (readManifest(manifest, tree + "manifest.json")) {
    throw Failure(Failure::Kind::BadInput, manifestFailureReason(tree));
  }
  Logger::log("Install package: " + StringUtils::escapeControls(manifest.packageMenuName), LogLevel::Info);
  checkManifest(manifest, runtime.appVersion);

  const PackageLock lock(manifest.packageName);
  checkStorageConflict(runtime, storage, manifest.packageName);
  // Stopped before its files are touched, so that what it writes while stopping is carried
  // over; the periodic start runs the new version once the hold is gone.
  const PackageController::Hold hold = controller.holdPackage(manifest.packageName);
  const std::string oldDirectory = controller.findPackagePath(manifest.packageName);
  const bool wasEnabled = controller.getPackage(manifest.packageName) != nullptr;
  const std::string finalDirectory = baseDirectory + manifest.packageName;
  setShippedDataAside(work.path(), tree, oldDirectory);
  const std::unique_ptr<PackageMoves> moves = replaceInstallation(work, finalDirectory + "/", oldDirectory);
  controller.packageInstalled(manifest.packageName);
  controller.resetCrashLoop(manifest.packageName, true);
  const std::string probation = beginProbation(controller, manifest.packageName, manifest.packageVersion,
                                               finalDirectory, moves->previousTree(), wasEnabled);
  if (!probation.empty()) {
    Logger::log("Install package: " + manifest.packageName + " " + manifest.packageVersion + ": " + probation,
                LogLevel::Info);
  }
}
