#include "http/HttpServer.h"

#include "http/RequestData.h"
#include "mpfd/Exception.h"
#include "mpfd/Field.h"
#include "mpfd/Parser.h"
#include "packages/PackageController.h"
#include "packages/PackageDataImport.h"
#include "packages/PackageName.h"
#include "packages/PackagePaths.h"
#include "util/Failure.h"
#include "util/FileUtils.h"
#include "util/ZipUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Export and import of a package's local data as a zip archive.

namespace {

// The package root holding the package whose local data directory is `localData`.
std::string packageRootOfData(const std::string& localData)
{
  return PackagePaths::packageRootOf(PackagePaths::packageRootOf(localData));
}

// A new, empty file for the export archive in the staging directory of the package's root
// (so that an interrupted export leaves nothing in the package); its own name, so that
// simultaneous exports of one package never write into each other's archive.
std::string newArchivePath(const std::string& localDataDirectory)
{
  const std::string root = packageRootOfData(localDataDirectory);
  if (!PackagePaths::ensureStagingDirectory(root)) {
    return std::string();
  }
  std::string pattern = PackagePaths::stagingDirectory(root) + "export_XXXXXX.zip";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkostemps(name.data(), 4, O_CLOEXEC);
  if (fd < 0) {
    return std::string();
  }
  close(fd);
  return std::string(name.data());
}

bool isUploadedFile(const MPFD::Field& field)
{
  try {
    return field.GetType() == MPFD::Field::File;
  } catch (const MPFD::Exception&) {
    return false; // a part whose headers never ended has no type
  }
}

MHD_Result importFields(MHD_Connection* connection, const RequestData& request, PackageDataImport& import)
{
  const std::map<std::string, MPFD::Field*> fields =
      request.parser ? request.parser->GetFields() : std::map<std::string, MPFD::Field*>();
  std::vector<MPFD::Field*> files;
  for (const auto& field : fields) {
    if (isUploadedFile(*field.second)) {
      files.push_back(field.second);
    }
  }
  for (size_t i = 0; i < files.size(); ++i) {
    const MPFD::Field& file = *files[i];
    std::optional<Failure> failure;
    try {
      if (!file.HasTempFile()) {
        // An empty upload has no temporary file, and an empty file is no archive.
        throw Failure(Failure::Kind::BadInput, "the uploaded file is empty");
      }
      import.import(file.GetTempFileName());
    } catch (const Failure& error) {
      failure = error;
    } catch (const std::exception& error) {
      failure = Failure(Failure::Kind::Internal, error.what());
    }
    if (file.HasTempFile()) {
      std::remove(file.GetTempFileName().c_str());
    }
    if (failure) {
      for (size_t j = i + 1; j < files.size(); ++j) {
        if (files[j]->HasTempFile()) {
          std::remove(files[j]->GetTempFileName().c_str());
        }
      }
      // Whatever went wrong, a failed import answers 500.
      return HttpServer::sendJsonError(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                                       "Http API: data import error [" + file.GetFileName() + "]",
                                       failure->what(), HttpServer::logLevelFor(*failure));
    }
  }
  return HttpServer::sendJsonStatus(connection, MHD_HTTP_OK, "OK");
}

MHD_Result exportData(MHD_Connection* connection, const std::string& packageName,
                      const std::string& localData)
{
  // Whatever went wrong, a failed export answers 400.
  const std::string exportFailed = "Http API: package data could not have been exported";
  std::string archive;
  try {
    archive = HttpServer::exportPackageData(localData);
  } catch (const Failure& failure) {
    return HttpServer::sendFailure(connection, MHD_HTTP_BAD_REQUEST, exportFailed, failure);
  }
  const int fd = open(archive.c_str(), O_RDONLY | O_CLOEXEC);
  const int64_t size = FileUtils::fileSize(archive);
  // The library reads from the open descriptor; the name is not needed any more.
  std::remove(archive.c_str());
  if (fd < 0 || size < 0) {
    if (fd >= 0) {
      close(fd);
    }
    return HttpServer::sendFailure(connection, MHD_HTTP_BAD_REQUEST, exportFailed,
                                   Failure(Failure::Kind::Io, "cannot read the archive " + archive));
  }
  return HttpServer::sendFile(connection, MHD_HTTP_OK, static_cast<uint64_t>(size), fd, "application/zip",
                              packageName + "-data.zip");
}

} // namespace

MHD_Result HttpServer::onPackageDataRequest(MHD_Connection* connection, RequestData& request) const
{
  const std::string packageName = request.argument("package_name");
  const std::string action = request.argument("action");
  if (packageName.empty() || action.empty()) {
    return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST, "Http API: no package name or action specified");
  }
  // A name that breaks the package name rule is never installed, and could name "..".
  const std::string directory =
      isValidPackageName(packageName) ? packages->findPackagePath(packageName) : std::string();
  if (directory.empty()) {
    return sendJsonStatus(connection, MHD_HTTP_NOT_FOUND, "Http API: package does not exist");
  }
  const std::string localData = directory + "/localdata";
  if (action == "IMPORT") {
    // One change of a package's files at a time: installs, removals and other imports wait.
    PackageDataImport import(*packages, packageName, localData);
    return importFields(connection, request, import);
  }
  if (action == "EXPORT") {
    return exportData(connection, packageName, localData);
  }
  return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST, "Http API: action does not exist");
}

std::string HttpServer::exportPackageData(const std::string& localDataDirectory)
{
  std::vector<ZipEntry> entries;
  for (const FileUtils::FileEntry& item : FileUtils::listFilesRecursive(localDataDirectory)) {
    ZipEntry entry;
    entry.name = item.path;
    entry.type = item.type;
    // Read from disk while the archive is written: every byte as it is, and never the whole
    // data directory in memory at once. Links and other special files are skipped.
    if (item.type == DT_REG) {
      entry.sourcePath = localDataDirectory + "/" + item.path;
    }
    entries.push_back(std::move(entry));
  }
  const std::string archive = newArchivePath(localDataDirectory);
  if (archive.empty()) {
    throw Failure(Failure::Kind::Io, "cannot create an archive beside " + localDataDirectory);
  }
  if (const std::optional<Failure> failure = ZipUtils::createArchive(archive, entries)) {
    std::remove(archive.c_str());
    throw *failure;
  }
  return archive;
}
