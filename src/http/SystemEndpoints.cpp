#include "http/HttpServer.h"

#include "camera/CameraParameters.h"
#include "http/CameraList.h"
#include "http/RequestData.h"
#include "packages/NodeUpdater.h"
#include "packages/PackagePaths.h"
#include "util/FileUtils.h"
#include "util/Logger.h"
#include "util/SystemUtils.h"

#include <exception>
#include <mutex>

// Diagnostics, the Node.js runtime's installation, the cameras nearby and the report.

namespace {

// One installation of the runtime at a time: a second request waits for the first and then
// finds the archive gone, instead of unpacking over a runtime that is being written.
std::mutex nodeUpdateMutex;

// Manifests are listed as their files hold them, often over several lines; as white space
// between JSON tokens a line break may become a blank, which keeps the report at one line
// per item.
std::string oneLine(std::string text)
{
  for (char& c : text) {
    if (c == '\n' || c == '\r') {
      c = ' ';
    }
  }
  return text;
}

bool archivePresent()
{
  return FileUtils::fileSize(PackagePaths::nodeArchive()) != -1;
}

} // namespace

std::string HttpServer::nodejsLocation() const
{
  const auto values = params->getParameters();
  const auto found = values.find("NodejsLocation");
  return found == values.end() ? std::string() : found->second;
}

std::string HttpServer::nodeState() const
{
  const std::string location = nodejsLocation();
  const bool archive = archivePresent();
  if (location.empty() && archive) {
    return "NOT_INSTALLED";
  }
  if ((location.empty() || FileUtils::fileSize(location + "node") == -1) && !archive) {
    return "NOT_FOUND";
  }
  return "OK";
}

MHD_Result HttpServer::onDiagnosticsRequest(MHD_Connection* connection, RequestData&) const
{
  return sendJsonStatus(connection, MHD_HTTP_OK, "{\"node_state\":\"" + nodeState() + "\"}", true);
}

MHD_Result HttpServer::onNodeUpdateRequest(MHD_Connection* connection, RequestData& request) const
{
  Logger::log("Unpacking NodeJS", LogLevel::Info);
  const std::string location = request.argument("storage") == PackagePaths::flashStorage
                                   ? PackagePaths::flashNodeLocation()
                                   : PackagePaths::sdApplicationDirectory();
  const std::lock_guard<std::mutex> lock(nodeUpdateMutex);
  if (!archivePresent() || !nodejsLocation().empty()) {
    return sendJsonStatus(connection, MHD_HTTP_NOT_ACCEPTABLE, "Already decompressed!");
  }
  try {
    NodeUpdater::update(*params, location);
  } catch (const Failure& error) {
    return sendJsonStatus(connection, statusFor(error), std::string("NodeJS update: ") + error.what());
  } catch (const std::exception& error) {
    return sendJsonStatus(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                          std::string("NodeJS update: ") + error.what());
  }
  return sendJsonStatus(connection, MHD_HTTP_OK, "OK");
}

MHD_Result HttpServer::onNetworkCameraListRequest(MHD_Connection* connection, RequestData&)
{
  const std::string output =
      SystemUtils::exec(CameraList::browseArguments(PackagePaths::applicationDirectory() + "tools/"));
  return sendJsonStatus(connection, MHD_HTTP_OK, CameraList::fromToolOutput(output));
}

MHD_Result HttpServer::onReportRequest(MHD_Connection* connection, RequestData&) const
{
  const SystemUtils::SystemInfo info = SystemUtils::systemInfo();
  const std::string report =
      "uptime: " + info.uptime + "\n" + "RAM - available: " + std::to_string(info.availableMemoryMb) +
      " MB\n" + "Internal memory - available: " + std::to_string(info.freeSpaceMb) + " MB\n" +
      "NodeJS state: " + nodeState() + "\n" + "Installed: " + oneLine(packageListBody()) + "\n";
  return sendBuffer(connection, "text/plain", report);
}
