#include "http/HttpServer.h"

#include "http/RequestData.h"
#include "http/UploadDirectory.h"
#include "packages/PackageManifest.h"
#include "packages/PackagePaths.h"
#include "packages/PackageRemoval.h"
#include "packages/PackageSettings.h"
#include "util/Failure.h"
#include "util/FileUtils.h"
#include "util/StringUtils.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr uint32_t unknownFreeSpace = 4294967295u;
// Kept free on flash for the camera's own use.
constexpr int64_t flashReserveMb = 2;

} // namespace

MHD_Result HttpServer::onApiCheckRequest(MHD_Connection* connection, RequestData&)
{
  return sendJsonStatus(connection, MHD_HTTP_OK, "OK");
}

std::vector<std::string> HttpServer::listManifests(const std::string& directory, const char* storage)
{
  std::vector<std::string> entries;
  for (const std::string& name : FileUtils::listDirectories(directory)) {
    if (!PackagePaths::isPackageEntry(name)) {
      continue;
    }
    const std::string place = std::string("{\"storage\":\"") + storage + "\",";
    try {
      entries.push_back(place + "\"manifest\":" + manifestJson(directory + name, name) + "}");
    } catch (const Failure& error) {
      // Still listed, so that its owner sees what is wrong and can remove it.
      entries.push_back(place + "\"name\":\"" + StringUtils::jsonEscape(StringUtils::repairUtf8(name)) + "\",\"manifest\":null,\"error\":\"" +
                        StringUtils::jsonEscape(error.what()) + "\"}");
    }
  }
  return entries;
}

std::string HttpServer::packageListBody()
{
  std::vector<std::string> entries = listManifests(PackagePaths::flashPackageRoot(), PackagePaths::flashStorage);
  for (std::string& entry : listManifests(PackagePaths::sdPackageRoot(), PackagePaths::sdStorage)) {
    entries.push_back(std::move(entry));
  }
  return "[" + StringUtils::join(entries, ',') + "]";
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

MHD_Result HttpServer::onRemoveRequest(MHD_Connection* connection, RequestData& request) const
{
  const std::string name = request.argument("package_name");
  if (name.empty()) {
    return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST,
                          "Http API: remove package - no package name specified");
  }
  try {
    removeInstalledPackage(*packages, name);
  } catch (const Failure& error) {
    const unsigned status = statusFor(error);
    return sendFailure(connection, status,
                       status == MHD_HTTP_NOT_FOUND
                           ? "Http API: remove package - package does not exist"
                           : "Http API: remove package - package could not be removed",
                       error);
  }
  return sendJsonStatus(connection, MHD_HTTP_OK, "OK");
}

MHD_Result HttpServer::onSettingsRequest(MHD_Connection* connection, RequestData& request) const
{
  const std::string name = request.argument("package_name");
  const std::string action = request.argument("action");
  if (name.empty() || action.empty()) {
    return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST,
                          "Http API: package settings - no action specified");
  }
  if (action == "get") {
    const std::string settings = readPackageSettings(*packages, name);
    return sendJsonStatus(connection, MHD_HTTP_OK, settings.empty() ? "{}" : settings, true);
  }
  if (action == "set") {
    try {
      writePackageSettings(*packages, name, request.body);
    } catch (const Failure& error) {
      const unsigned status = statusFor(error);
      return sendFailure(connection, status,
                         status == MHD_HTTP_NOT_FOUND ? "Http API: package settings - package does not exist"
                                                      : "Http API: package settings - write file error",
                         error);
    }
    return sendJsonStatus(connection, MHD_HTTP_OK, "OK");
  }
  return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST,
                        "Http API: package settings - unknown action specified");
}
