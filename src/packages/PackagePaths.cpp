#include "packages/PackagePaths.h"

#include "app/Constants.h"
#include "util/FileUtils.h"

namespace PackagePaths {
namespace {

std::string packagesBase = "/usr/local/packages/";
std::string sdCardBase = "/var/spool/storage/SD_DISK/";

} // namespace

std::string applicationDirectory()
{
  return packagesBase + Orvane::appName + "/";
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
  return sdCardBase + Orvane::appName + "/";
}

std::string sdPackageRoot()
{
  return sdApplicationDirectory() + "packages/";
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
