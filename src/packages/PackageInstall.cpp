#include "packages/PackageInstall.h"

#include "packages/InvalidStorage.h"
#include "packages/PackageController.h"
#include "packages/PackageError.h"
#include "packages/PackageLock.h"
#include "packages/PackageManifest.h"
#include "packages/PackageName.h"
#include "packages/PackagePaths.h"
#include "packages/Probation.h"
#include "packages/StagingDirectory.h"
#include "util/FileUtils.h"
#include "util/Logger.h"
#include "util/StringUtils.h"
#include "util/ZipUtils.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

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

bool exists(const std::string& path)
{
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

bool isRealDirectory(const std::string& path)
{
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Runs a clean-up when the scope is left, unless dismissed.
class ScopeGuard {
public:
  template <typename F> explicit ScopeGuard(F&& action) : action(std::forward<F>(action)) {}
  ~ScopeGuard()
  {
    if (armed) {
      action();
    }
  }
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  void dismiss() { armed = false; }

private:
  std::function<void()> action;
  bool armed = true;
};

// Why the archive could not be unpacked, as the zip layer found it.
PackageError decompressionError()
{
  return PackageError("Http API: install package - decompression error", ZipUtils::lastError());
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

// Refuses an archive that is unreadable, or whose unpacked entries would not fit the storage.
void checkArchive(const std::string& archivePath, const std::string& baseDirectory)
{
  const int64_t size = ZipUtils::uncompressedSize(archivePath);
  if (size < 0) {
    throw decompressionError();
  }
  const uint64_t freeBytes = static_cast<uint64_t>(FileUtils::freeSpaceMb(baseDirectory)) * bytesPerMb;
  const uint64_t needed = static_cast<uint64_t>(size);
  if (needed > freeBytes || freeBytes - needed < extractionMarginBytes) {
    throw std::runtime_error("Http API: install package - not enough space to decompress the package");
  }
}

void checkManifest(const PackageManifest& manifest, const std::string& appVersion)
{
  if (manifest.packageName.empty()) {
    throw std::runtime_error("Http API: invalid manifest.json: package name is empty");
  }
  if (!isValidPackageName(manifest.packageName)) {
    throw std::runtime_error("Http API: install package - invalid manifest.json: only alphabetic characters, "
                             "underscore and coma are allowed in the package name");
  }
  if (!checkRequiredVersion(manifest, appVersion)) {
    throw std::runtime_error("Http API: install package - package requires Orvane version " +
                             manifest.requiredVersion + " or newer");
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
    throw InvalidStorage("Http API: install package - invalid storage - the package is already installed in "
                         "the different storage than requested",
                         packageName + " is already installed on the other storage (" +
                             (storage == PackagePaths::flashStorage ? PackagePaths::sdStorage
                                                                    : PackagePaths::flashStorage) +
                             "): remove it there first, or install it there");
  }
}

// Moves every entry of `from` that `into` lacks into `into`; a directory found in both is
// merged the same way, anything else found in both stays as `into` has it. Every entry moved
// is recorded in `moved`, so that it can be taken out again. False at the first failure.
bool mergeMissing(const std::string& from, const std::string& into, std::vector<std::string>& moved)
{
  std::vector<std::string> names;
  {
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(from.c_str()), closedir);
    if (!directory) {
      return false;
    }
    while (const dirent* entry = readdir(directory.get())) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") {
        names.push_back(name);
      }
    }
  }
  for (const std::string& name : names) {
    const std::string source = from + "/" + name;
    const std::string target = into + "/" + name;
    if (!exists(target)) {
      if (std::rename(source.c_str(), target.c_str()) != 0) {
        return false;
      }
      moved.push_back(target);
    } else if (isRealDirectory(target) && isRealDirectory(source) && !mergeMissing(source, target, moved)) {
      return false;
    }
  }
  return true;
}

// Puts the unpacked tree `tree` (inside `work`) in the place of `finalDirectory`, replacing the
// earlier installation at `oldDirectory` (empty when there is none) and carrying all of its
// local data over; where the archive brought a "localdata" of its own, its entries that the
// old data lacks are added. Either the new tree is in place with every byte of the old local
// data, or this throws with the earlier installation back where it was, data and all. The
// earlier installation, without its local data, is left in the returned staging directory
// ("package" in it), which deletes it unless it is moved on; null when there was none.
std::unique_ptr<StagingDirectory> replaceInstallation(StagingDirectory& work, const std::string& tree,
                                                      const std::string& finalDirectory,
                                                      const std::string& oldDirectory)
{
  const std::string newData = tree + "localdata";
  std::unique_ptr<StagingDirectory> aside;
  std::string asidePath;
  std::vector<std::string> merged;
  bool dataMoved = false;
  ScopeGuard restore([&]() {
    if (dataMoved) {
      for (auto entry = merged.rbegin(); entry != merged.rend(); ++entry) {
        FileUtils::removeTree(*entry);
      }
      if (std::rename(newData.c_str(), (asidePath + "/localdata").c_str()) != 0) {
        Logger::log("Http API: install package - the local data of " + oldDirectory + " stays in " + newData,
                    LogLevel::Error);
        work.keep();
      }
    }
    if (!asidePath.empty() && std::rename(asidePath.c_str(), oldDirectory.c_str()) != 0) {
      Logger::log("Http API: install package - the earlier installation stays in " + asidePath,
                  LogLevel::Error);
      aside->keep();
    }
  });

  if (!oldDirectory.empty()) {
    const std::string moveError = "Http API: install package - move dir error: " + oldDirectory;
    aside = std::make_unique<StagingDirectory>(PackagePaths::packageRootOf(oldDirectory), moveError);
    if (std::rename(oldDirectory.c_str(), (aside->path() + "package").c_str()) != 0) {
      throw std::runtime_error(moveError);
    }
    asidePath = aside->path() + "package";

    // Renamed, not copied: no space is needed, so a full storage cannot cut the data short.
    // Only a move to the other storage copies, and then a copy that fails fails the install.
    const std::string oldData = asidePath + "/localdata";
    const std::string shipped = work.path() + "shipped";
    const std::string carryError =
        "Http API: install package - cannot carry the local data over from " + oldDirectory;
    if (exists(oldData)) {
      const bool hasShipped = exists(newData);
      if (hasShipped && std::rename(newData.c_str(), shipped.c_str()) != 0) {
        throw std::runtime_error(carryError);
      }
      if (std::rename(oldData.c_str(), newData.c_str()) == 0) {
        dataMoved = true;
      } else if (errno != EXDEV || !FileUtils::copyTree(oldData, newData)) {
        throw std::runtime_error(carryError);
      }
      if (hasShipped && !mergeMissing(shipped, newData, merged)) {
        throw std::runtime_error(carryError);
      }
    }
  }
  if (!FileUtils::makeDirectory(newData, 0755, false) || !isRealDirectory(newData)) {
    throw std::runtime_error("Http API: install package - create localdata dir error");
  }
  if (std::rename(withoutTrailingSlash(tree).c_str(), withoutTrailingSlash(finalDirectory).c_str()) != 0) {
    throw std::runtime_error("Http API: install package - move dir error: " + finalDirectory);
  }
  restore.dismiss();
  return aside;
}

} // namespace

void installPackage(PackageController& controller, const std::string& archivePath, const std::string& storage)
{
  const PackageRuntime& runtime = controller.runtime();
  const std::string baseDirectory =
      storage == PackagePaths::flashStorage ? runtime.flashPackageRoot : runtime.sdPackageRoot;
  ZipUtils::clearLastError();
  checkArchive(archivePath, baseDirectory);

  const std::string stagingError = "Http API: install package - cannot create a temporary directory in " +
                                   PackagePaths::stagingDirectory(baseDirectory);
  StagingDirectory work(baseDirectory, stagingError);
  const std::string tree = work.path() + "package/";
  if (mkdir(tree.c_str(), 0755) != 0) {
    throw std::runtime_error(stagingError);
  }
  if (!ZipUtils::extractArchive(archivePath, tree)) {
    throw decompressionError();
  }
  PackageManifest manifest;
  if (!readManifest(manifest, tree + "manifest.json")) {
    throw PackageError("Http API: install package - error: invalid manifest.json", manifestFailureReason(tree));
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
  const std::unique_ptr<StagingDirectory> previous =
      replaceInstallation(work, tree, finalDirectory + "/", oldDirectory);
  controller.packageInstalled(manifest.packageName);
  controller.resetCrashLoop(manifest.packageName, true);
  const std::string probation =
      beginProbation(controller, manifest.packageName, manifest.packageVersion, finalDirectory,
                     previous ? previous->path() + "package" : std::string(), wasEnabled);
  if (!probation.empty()) {
    Logger::log("Install package: " + manifest.packageName + " " + manifest.packageVersion + ": " + probation,
                LogLevel::Info);
  }
}
