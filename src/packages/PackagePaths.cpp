#include "packages/PackagePaths.h"

#include "util/FileSync.h"
#include "util/FileUtils.h"

namespace PackagePaths {
namespace {

std::string packagesBase = "/usr/local/packages/";
std::string sdCardBase = "/var/spool/storage/SD_DISK/";
std::string applicationName;

} // namespace

void setApplicationName(const std::string& name)
{
  applicationName = name;
}

std::string applicationDirectory()
{
  return packagesBase + applicationName + "/";
}

std::string nodeArchive()
{
  return applicationDirectory() + "tools/node.gz";
}

std::string flashNodeLocation()
{
  return applicationDirectory() + "tools/";
}

std::string libraryDirectory()
{
  return applicationDirectory() + "lib32/";
}

std::string localDataDirectory()
{
  return applicationDirectory() + "localdata/";
}

std::string flashPackageRoot()
{
  return localDataDirectory() + "packages/";
}

std::string sdCardDirectory()
{
  return sdCardBase;
}

std::string sdApplicationDirectory()
{
  return sdCardBase + applicationName + "/";
}

std::string sdPackageRoot()
{
  return sdApplicationDirectory() + "packages/";
}

std::string stagingDirectory(const std::string& packageRoot)
{
  return packageRoot + ".staging/";
}

std::string keptDirectory(const std::string& packageRoot)
{
  return packageRoot + ".kept/";
}

bool isPackageEntry(const std::string& name)
{
  return !name.empty() && name[0] != '.';
}

std::string packageRootOf(const std::string& packageDirectory)
{
  std::string path = packageDirectory;
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path.substr(0, path.rfind('/') + 1);
}

bool ensureStagingDirectory(const std::string& packageRoot)
{
  const std::string directory = stagingDirectory(packageRoot);
  // Synced when new: intent records are found through it after a crash.
  return FileUtils::isDirectory(directory) ||
         (FileUtils::makeDirectory(directory, 0700, false) && FileSync::syncPath(packageRoot));
}

void setBaseDirectoriesForTesting(const std::string& newPackagesBase, const std::string& newSdCardBase)
{
  packagesBase = newPackagesBase;
  sdCardBase = newSdCardBase;
}

} // namespace PackagePaths

bool prepareSdCardDirectories()
{
  const std::string applicationDirectory = PackagePaths::sdApplicationDirectory();
  bool ok = FileUtils::isDirectory(applicationDirectory) ||
            FileUtils::makeDirectory(applicationDirectory, 0755, false);
  const std::string packageRoot = PackagePaths::sdPackageRoot();
  if (FileUtils::isDirectory(packageRoot)) {
    return ok;
  }
  return FileUtils::makeDirectory(packageRoot, 0755, false) && ok;
}
