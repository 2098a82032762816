#include "http/HttpServer.h"

#include "app/AppContext.h"
#include "http/InvalidStorage.h"
#include "http/PackageControllerAccess.h"
#include "http/PackageLock.h"
#include "http/PackageName.h"
#include "http/RequestData.h"
#include "mpfd/Exception.h"
#include "mpfd/Parser.h"
#include "packages/PackageController.h"
#include "packages/PackageManifest.h"
#include "packages/PackagePaths.h"
#include "util/FileUtils.h"
#include "util/Logger.h"
#include "util/ZipUtils.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <stdexcept>
#include <utility>

namespace {

constexpr uint64_t bytesPerMb = 1048576;
// Room left beside an unpacked package for the file system's own bookkeeping.
constexpr uint64_t extractionMarginBytes = bytesPerMb;

std::atomic<unsigned> directoryCounter{0};

std::string withoutTrailingSlash(std::string path)
{
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

void removeTree(const std::string& path)
{
  const std::string command = "rm -rf \"" + withoutTrailingSlash(path) + "\"";
  if (std::system(command.c_str()) != 0) {
    Logger::log("Http API: cannot remove " + path, LogLevel::Error);
  }
}

// Creates a new directory named base + seconds + "_" + a process-wide counter + `suffix`,
// so that concurrent installs never share one, and returns its path with a final "/".
std::string makeUniqueDirectory(const std::string& base, const std::string& suffix)
{
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string path = base + std::to_string(std::time(nullptr)) + "_" +
                             std::to_string(directoryCounter.fetch_add(1)) + suffix;
    if (mkdir(path.c_str(), 0777) == 0) {
      return path + "/";
    }
    if (errno != EEXIST) {
      break;
    }
  }
  throw std::runtime_error("Http API: install package - cannot create a temporary directory in " + base);
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

// Refuses an archive that is unreadable, or whose unpacked entries would not fit the storage.
void checkArchive(const std::string& archivePath, const std::string& baseDirectory)
{
  const int64_t size = ZipUtils::uncompressedSize(archivePath);
  if (size < 0) {
    throw std::runtime_error("Http API: install package - decompression error");
  }
  const uint64_t freeBytes = static_cast<uint64_t>(FileUtils::freeSpaceMb(baseDirectory)) * bytesPerMb;
  const uint64_t needed = static_cast<uint64_t>(size);
  if (needed > freeBytes || freeBytes - needed < extractionMarginBytes) {
    throw std::runtime_error("Http API: install package - not enough space to decompress the package");
  }
}

void checkManifest(const PackageManifest& manifest)
{
  if (manifest.packageName.empty()) {
    throw std::runtime_error("Http API: invalid manifest.json: package name is empty");
  }
  if (!isValidPackageName(manifest.packageName)) {
    throw std::runtime_error("Http API: install package - invalid manifest.json: only alphabetic characters, "
                             "underscore and coma are allowed in the package name");
  }
  if (!checkRequiredVersion(manifest, AppContext::instance())) {
    throw std::runtime_error("Http API: install package - package requires Orvane version " +
                             manifest.requiredVersion + " or newer");
  }
}

void checkStorageConflict(const std::string& storage, const std::string& packageName)
{
  const bool onOtherStorage =
      (storage == PackagePaths::flashStorage &&
       packageController().isPackageInDirectory(PackagePaths::sdPackageRoot(), packageName)) ||
      (storage == PackagePaths::sdStorage &&
       packageController().isPackageInDirectory(PackagePaths::flashPackageRoot(), packageName));
  if (onOtherStorage) {
    throw InvalidStorage("Http API: install package - invalid storage - the package is already installed in "
                         "the different storage than requested");
  }
}

// Moves the new tree at `temporaryDirectory` to `finalDirectory`, replacing the earlier
// installation at `oldDirectory` (empty when there is none) and taking its local data along.
// Until the new tree is in place the earlier one is only moved aside, and it is put back
// when anything fails.
void replaceInstallation(const std::string& temporaryDirectory, const std::string& finalDirectory,
                         const std::string& oldDirectory, const std::string& packageName)
{
  std::string asideHolder;
  std::string asidePath;
  if (!oldDirectory.empty()) {
    const std::string copy = "cp -rf \"" + oldDirectory + "/localdata\" \"" + temporaryDirectory + "\"";
    if (std::system(copy.c_str()) != 0) {
      Logger::log("Http API: install package - no local data copied from " + oldDirectory, LogLevel::Debug);
    }
    std::string oldRoot;
    std::string name;
    std::string extension;
    FileUtils::splitPath(oldDirectory, oldRoot, name, extension);
    asideHolder = makeUniqueDirectory(oldRoot, "_old");
    asidePath = asideHolder + packageName;
    if (std::rename(oldDirectory.c_str(), asidePath.c_str()) != 0) {
      removeTree(asideHolder);
      throw std::runtime_error("Http API: install package - move dir error: " + oldDirectory);
    }
  }
  auto restore = [&]() {
    if (!asidePath.empty() && std::rename(asidePath.c_str(), oldDirectory.c_str()) != 0) {
      Logger::log("Http API: install package - the earlier installation stays in " + asidePath,
                  LogLevel::Error);
      return;
    }
    if (!asideHolder.empty()) {
      removeTree(asideHolder);
    }
  };

  const std::string finalPath = withoutTrailingSlash(finalDirectory);
  if (std::rename(withoutTrailingSlash(temporaryDirectory).c_str(), finalPath.c_str()) != 0) {
    restore();
    throw std::runtime_error("Http API: install package - move dir error: " + finalDirectory);
  }
  if (!FileUtils::makeDirectory(finalDirectory + "localdata", 0777, false)) {
    removeTree(finalPath);
    restore();
    throw std::runtime_error("Http API: install package - create localdata dir error");
  }
  if (!asideHolder.empty()) {
    removeTree(asideHolder);
  }
}

void removeUploadedFile(const std::string& path)
{
  // An empty file part has no file: its name is the upload directory itself.
  struct stat status;
  if (lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    std::remove(path.c_str());
  }
}

} // namespace

void HttpServer::installPackage(const std::string& archivePath, const std::string& storage)
{
  const std::string baseDirectory = storage == PackagePaths::flashStorage ? PackagePaths::flashPackageRoot()
                                                                          : PackagePaths::sdPackageRoot();
  checkArchive(archivePath, baseDirectory);

  const std::string temporaryDirectory = makeUniqueDirectory(baseDirectory, "_tmp");
  ScopeGuard rollback([&]() { removeTree(temporaryDirectory); });

  if (!ZipUtils::extractArchive(archivePath, temporaryDirectory)) {
    throw std::runtime_error("Http API: install package - decompression error");
  }
  PackageManifest manifest;
  if (!readManifest(manifest, temporaryDirectory + "manifest.json")) {
    throw std::runtime_error("Http API: install package - error: invalid manifest.json");
  }
  Logger::log("Install package: " + manifest.packageMenuName, LogLevel::Info);
  checkManifest(manifest);

  const PackageLock lock(manifest.packageName);
  checkStorageConflict(storage, manifest.packageName);
  const std::string oldDirectory = packageController().findPackagePath(manifest.packageName);
  replaceInstallation(temporaryDirectory, baseDirectory + manifest.packageName + "/", oldDirectory,
                      manifest.packageName);
  rollback.dismiss();
  packageController().stopPackage(manifest.packageName);
}

MHD_Result HttpServer::onInstallRequest(MHD_Connection* connection, RequestData& request)
{
  const std::string storage = request.argument("storage");
  std::vector<std::string> failedFiles;
  unsigned errorStatus = MHD_HTTP_INTERNAL_SERVER_ERROR;
  if (request.parser) {
    for (const auto& entry : request.parser->GetFields()) {
      MPFD::Field& field = *entry.second;
      if (field.GetType() != MPFD::Field::File) {
        continue;
      }
      const std::string archivePath = field.GetTempFileName();
      try {
        installPackage(archivePath, storage);
      } catch (const InvalidStorage& error) {
        Logger::log(error.what(), LogLevel::Error);
        failedFiles.push_back(field.GetFileName());
        errorStatus = MHD_HTTP_CONFLICT;
      } catch (const std::exception& error) {
        Logger::log(error.what(), LogLevel::Error);
        failedFiles.push_back(field.GetFileName());
      } catch (const MPFD::Exception& error) {
        Logger::log(error.GetError(), LogLevel::Error);
        failedFiles.push_back(field.GetFileName());
      }
      removeUploadedFile(archivePath);
    }
  }
  if (!failedFiles.empty()) {
    std::string names;
    for (const std::string& name : failedFiles) {
      names += (names.empty() ? "" : ", ") + name;
    }
    return sendJsonStatus(connection, errorStatus, "Http API: install package(s) error [" + names + "]");
  }
  return sendJsonStatus(connection, MHD_HTTP_OK, "OK");
}
