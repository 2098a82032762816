#include "packages/NodeUpdater.h"

#include "app/AppContext.h"
#include "app/Constants.h"
#include "camera/ParamsManager2.h"
#include "packages/PackagePaths.h"
#include "util/FileUtils.h"
#include "util/Logger.h"

#include <cstdio>
#include <stdexcept>

namespace {

const char* const locationParameter = "NodejsLocation";

std::string fullParameterName()
{
  return std::string(Orvane::appName) + "." + locationParameter;
}

bool writeLocation(const std::string& location)
{
  const auto& params = AppContext::instance().paramsManager;
  return params && params->setVapixParameter(fullParameterName(), location);
}

void installArchive(const std::string& location)
{
  if (location.find("SD_DISK") != std::string::npos && !prepareSdCardDirectories()) {
    throw std::runtime_error("SD card is not available");
  }
  if (!FileUtils::hasSpaceForDecompression(location, PackagePaths::nodeArchive(), NodeUpdater::spaceMargin)) {
    throw std::runtime_error("Not enough space for NodeJS (with 3MB padding) at " + location);
  }
  NodeUpdater::unpack(location);
  if (!writeLocation(location)) {
    throw std::runtime_error(std::string("Unable to set parameter ") + locationParameter);
  }
}

} // namespace

namespace NodeUpdater {

void update(const std::string& location)
{
  const std::string executable = location + "node";
  std::remove(executable.c_str());
  try {
    installArchive(location);
  } catch (const std::runtime_error& error) {
    std::remove(executable.c_str());
    writeLocation("");
    throw std::runtime_error(error.what());
  }
}

void unpack(const std::string& location)
{
  const std::string archive = PackagePaths::nodeArchive();
  const std::string executable = location + "node";
  // Executable by every user, writable by Orvane alone: whoever could rewrite the runtime
  // would run code in every package.
  if (!FileUtils::decompressGzip(archive, executable, 0755)) {
    throw std::runtime_error("NodeUpdater: update NodeJS - decompression error. \n Path:" + archive +
                             "\n Dir: " + location);
  }
  std::remove(archive.c_str());
}

} // namespace NodeUpdater

bool startupNodeUpdate()
{
  if (FileUtils::fileSize(PackagePaths::nodeArchive()) == -1) {
    return true;
  }
  const auto& params = AppContext::instance().paramsManager;
  std::string location;
  if (params) {
    const auto values = params->getParameters();
    auto found = values.find(locationParameter);
    if (found != values.end()) {
      location = found->second;
    }
  }
  if (location.empty()) {
    return true;
  }
  Logger::log("Updating NodeJS...", LogLevel::Info);
  try {
    NodeUpdater::update(location);
  } catch (const std::runtime_error& error) {
    Logger::log(std::string("Startup NodeJS update error: ") + error.what(), LogLevel::Error);
    return false;
  }
  Logger::log("NodeJS update successfully finished", LogLevel::Info);
  return true;
}
