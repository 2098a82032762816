#include "packages/StagingDirectory.h"

#include "packages/PackagePaths.h"
#include "util/Failure.h"
#include "util/FileUtils.h"
#include "util/Logger.h"

#include <cstdlib>
#include <vector>

StagingDirectory::StagingDirectory(const std::string& packageRoot, const std::string& failureMessage)
{
  if (!PackagePaths::ensureStagingDirectory(packageRoot)) {
    throw Failure(Failure::Kind::Io, failureMessage);
  }
  // mkdtemp picks a fresh name atomically, so concurrent requests never share a directory.
  const std::string pattern = PackagePaths::stagingDirectory(packageRoot) + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) {
    throw Failure(Failure::Kind::Io, failureMessage);
  }
  directory = std::string(name.data()) + "/";
}

StagingDirectory::~StagingDirectory()
{
  if (!kept && !FileUtils::removeTree(directory)) {
    Logger::log("Cannot remove the staging directory " + directory, LogLevel::Error);
  }
}
