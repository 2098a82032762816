#include "packages/NodeUpdater.h"

#include "camera/CameraParameters.h"
#include "packages/PackagePaths.h"
#include "util/Failure.h"
#include "util/FileUtils.h"
#include "util/Logger.h"

#include <cstdio>
#include <exception>

namespace {

const char* const locationParameter = "NodejsLocation";

void writeLocation(CameraParameters& params, const std::string& location)
{
  params.setApplicationParameter(locationParameter, location);
}

void installArchive(CameraParameters& params, const std::string& location)
{
  if (location.find("SD_DISK") != std::string::npos && !prepareSdCardDirectories()) {
    throw Failure(Failure::Kind::Io, "SD card is not available");
  }
  if (!FileUtils::hasSpaceForDecompression(location, PackagePaths::nodeArchive(), NodeUpdater::spaceMargin)) {
    throw Failure(Failure::Kind::Io, "Not enough space for NodeJS (with 3MB padding) at " + location);
  }
  NodeUpdater::unpack(location);
  writeLocation(params, location);
}

} // namespace

namespace NodeUpdater {

void update(CameraParameters& params, const std::string& location)
{
  const std::string executable = location + "node";
  std::remove(executable.c_str());
  try {
    installArchive(params, location);
  } catch (const std::exception&) {
    std::remove(executable.c_str());
    // The failure that ended the update is the one to report, not this one's.
    try {
      writeLocation(params, "");
    } catch (const Failure& failure) {
      Logger::log(failure.what(), LogLevel::Error);
    }
    throw;
  }
}

void unpack(const std::string& location)
{
  const std::string archive = PackagePaths::nodeArchive();
  const std::string executable = location + "node";
  // Executable by every user, writable by Orvane alone: whoever could rewrite the runtime
  // would run code in every package.
  if (!FileUtils::decompressGzip(archive, executable, 0755)) {
    throw Failure(Failure::Kind::Io, "NodeUpdater: update NodeJS - decompression error. \n Path:" + archive +
                                         "\n Dir: " + location);
  }
  std::remove(archive.c_str());
}

} // namespace NodeUpdater

bool startupNodeUpdate(CameraParameters& params)
{
  if (FileUtils::fileSize(PackagePaths::nodeArchive()) == -1) {
    return true;
  }
  std::string location;
  const auto values = params.getParameters();
  auto found = values.find(locationParameter);
  if (found != values.end()) {
    location = found->second;
  }
  if (location.empty()) {
    return true;
  }
  Logger::log("Updating NodeJS...", LogLevel::Info);
  try {
    NodeUpdater::update(params, location);
  } catch (const std::exception& error) {
    Logger::log(std::string("Startup NodeJS update error: ") + error.what(), LogLevel::Error);
    return false;
  }
  Logger::log("NodeJS update successfully finished", LogLevel::Info);
  return true;
}
