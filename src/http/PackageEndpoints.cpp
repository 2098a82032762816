#include "http/HttpServer.h"

#include "http/PackageControllerAccess.h"
#include "http/PackageLock.h"
#include "http/PackageName.h"
#include "http/RequestData.h"
#include "http/UploadDirectory.h"
#include "packages/PackageController.h"
#include "packages/PackagePaths.h"
#include "packages/StagingDirectory.h"
#include "util/FileUtils.h"
#include "util/Logger.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

constexpr uint32_t unknownFreeSpace = 4294967295u;
// Kept free on flash for the camera's own use.
constexpr int64_t flashReserveMb = 2;

// The directory of the installed package `name`, or "" when there is none. A name that
// breaks the package name rule is never installed (and could name "." or "..").
std::string installedPackagePath(const std::string& name)
{
  return isValidPackageName(name) ? packageController().findPackagePath(name) : std::string();
}

std::string settingsFile(const std::string& packageDirectory)
{
  return packageDirectory + "/localdata/settings.json";
}

} // namespace

MHD_Result HttpServer::onApiCheckRequest(MHD_Connection* connection, RequestData&)
{
  return sendJsonStatus(connection, MHD_HTTP_OK, "OK");
}

std::vector<std::string> HttpServer::listManifests(const std::string& directory)
{
  std::vector<std::string> manifests;
  for (const std::string& name : FileUtils::listDirectories(directory)) {
    if (!PackagePaths::isPackageEntry(name)) {
      continue;
    }
    std::string manifest = FileUtils::readFile(directory + name + "/manifest.json");
    if (!manifest.empty()) {
      manifests.push_back(std::move(manifest));
    }
  }
  return manifests;
}

std::string HttpServer::packageListBody()
{
  std::string body = "[";
  auto addEntries = [&body](const char* storage, const std::vector<std::string>& manifests) {
    for (const std::string& manifest : manifests) {
      if (body.size() > 1) {
        body += ",";
      }
      body += std::string("{\"storage\":\"") + storage + "\",\"manifest\":" + manifest + "}";
    }
  };
  addEntries(PackagePaths::flashStorage, listManifests(PackagePaths::flashPackageRoot()));
  addEntries(PackagePaths::sdStorage, listManifests(PackagePaths::sdPackageRoot()));
  return body + "]";
}

MHD_Result HttpServer::onPackageListRequest(MHD_Connection* connection, RequestData&)
{
  return sendJsonStatus(connection, MHD_HTTP_OK, packageListBody(), true);
}

MHD_Result HttpServer::onGetStorageRequest(MHD_Connection* connection, RequestData&)
{
  ensureFlashPackageDirectory();
  prepareSdCardDirectories();
  const int64_t flashMb = std::max<int64_t>(
      0, static_cast<int64_t>(FileUtils::freeSpaceMb(PackagePaths::flashPackageRoot())) - flashReserveMb);
  const uint32_t sdFree = FileUtils::freeSpaceMb(PackagePaths::sdPackageRoot());
  const int64_t sdMb = sdFree == unknownFreeSpace ? -1 : static_cast<int64_t>(sdFree);
  const std::string body = "[{\"type\":\"FLASH\",\"capacity_mb\":" + std::to_string(flashMb) +
                           "},{\"type\":\"SD_DISK\",\"capacity_mb\":" + std::to_string(sdMb) + "}]";
  return sendJsonStatus(connection, MHD_HTTP_OK, body, true);
}

MHD_Result HttpServer::onRemoveRequest(MHD_Connection* connection, RequestData& request)
{
  const std::string name = request.argument("package_name");
  if (name.empty()) {
    return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST,
                          "Http API: remove package - no package name specified");
  }
  std::unique_ptr<PackageLock> lock;
  if (isValidPackageName(name)) {
    lock = std::make_unique<PackageLock>(name);
  }
  const std::string directory = installedPackagePath(name);
  if (directory.empty()) {
    return sendJsonStatus(connection, MHD_HTTP_NOT_FOUND,
                          "Http API: remove package - package does not exist");
  }
  // Stopped first, so that its process neither holds the files nor writes new ones; then
  // moved aside in one rename, so that the package is whole or gone, never half deleted.
  const PackageController::Hold hold = packageController().holdPackage(name);
  try {
    StagingDirectory aside(PackagePaths::packageRootOf(directory), "no staging directory");
    if (std::rename(directory.c_str(), (aside.path() + "package").c_str()) != 0) {
      throw std::runtime_error(std::strerror(errno));
    }
  } catch (const std::runtime_error& error) {
    Logger::log("Http API: remove package - cannot move " + directory + " aside: " + error.what(),
                LogLevel::Error);
    return sendJsonStatus(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                          "Http API: remove package - package could not be removed");
  }
  return sendJsonStatus(connection, MHD_HTTP_OK, "OK");
}

MHD_Result HttpServer::onSettingsRequest(MHD_Connection* connection, RequestData& request)
{
  const std::string name = request.argument("package_name");
  const std::string action = request.argument("action");
  if (name.empty() || action.empty()) {
    return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST,
                          "Http API: package settings - no action specified");
  }
  const std::string directory = installedPackagePath(name);
  if (action == "get") {
    const std::string settings =
        directory.empty() ? std::string() : FileUtils::readFile(settingsFile(directory));
    return sendJsonStatus(connection, MHD_HTTP_OK, settings.empty() ? "{}" : settings, true);
  }
  if (action == "set") {
    if (directory.empty()) {
      return sendJsonStatus(connection, MHD_HTTP_NOT_FOUND,
                            "Http API: package settings - package does not exist");
    }
    if (!FileUtils::writeFile(settingsFile(directory), request.body)) {
      return sendJsonStatus(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                            "Http API: package settings - write file error");
    }
    packageController().resetCrashLoop(name);
    packageController().sendSignal(name, SIGINT);
    return sendJsonStatus(connection, MHD_HTTP_OK, "OK");
  }
  return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST,
                        "Http API: package settings - unknown action specified");
}
