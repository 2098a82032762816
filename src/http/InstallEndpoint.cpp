#include "http/HttpServer.h"

#include "http/RequestData.h"
#include "mpfd/Parser.h"
#include "packages/PackageInstall.h"
#include "util/Failure.h"
#include "util/Logger.h"

#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

void removeUploadedFile(const std::string& path)
{
  // An empty file part has no file: its name is the upload directory itself.
  struct stat status;
  if (lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    std::remove(path.c_str());
  }
}

} // namespace

MHD_Result HttpServer::onInstallRequest(MHD_Connection* connection, RequestData& request) const
{
  const std::string storage = request.argument("storage");
  std::vector<std::string> failedFiles;
  // "file: why" for each file that failed; the reason alone when only one was sent.
  std::vector<std::string> reasons;
  // The answer covers every file: 409 as soon as one is refused for its storage, else 500,
  // whatever else went wrong; its one log line is an error when any failure was Orvane's.
  unsigned errorStatus = MHD_HTTP_INTERNAL_SERVER_ERROR;
  LogLevel level = LogLevel::Warning;
  if (request.parser) {
    for (const auto& entry : request.parser->GetFields()) {
      MPFD::Field& field = *entry.second;
      if (field.GetType() != MPFD::Field::File) {
        continue;
      }
      const std::string archivePath = field.GetTempFileName();
      try {
        installPackage(*packages, archivePath, storage);
      } catch (const Failure& error) {
        failedFiles.push_back(field.GetFileName());
        reasons.push_back(error.what());
        if (statusFor(error) == MHD_HTTP_CONFLICT) {
          errorStatus = MHD_HTTP_CONFLICT;
        }
        if (logLevelFor(error) == LogLevel::Error) {
          level = LogLevel::Error;
        }
      } catch (const std::exception& error) {
        failedFiles.push_back(field.GetFileName());
        reasons.push_back(error.what());
        level = LogLevel::Error;
      }
      removeUploadedFile(archivePath);
    }
  }
  if (!failedFiles.empty()) {
    std::string names;
    std::string reason = failedFiles.size() == 1 ? reasons.front() : std::string();
    for (size_t i = 0; i < failedFiles.size(); ++i) {
      names += (names.empty() ? "" : ", ") + failedFiles[i];
      if (failedFiles.size() > 1) {
        reason += (reason.empty() ? "" : "; ") + failedFiles[i] + ": " + reasons[i];
      }
    }
    return sendJsonError(connection, errorStatus, "Http API: install package(s) error [" + names + "]",
                         reason, level);
  }
  return sendJsonStatus(connection, MHD_HTTP_OK, "OK");
}
