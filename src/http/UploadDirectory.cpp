#include "http/UploadDirectory.h"

#include "packages/PackagePaths.h"
#include "util/FileUtils.h"

bool isUploadUrl(const std::string& url)
{
  return url.find("/package/install.cgi") != std::string::npos ||
         url.find("/package/data.cgi") != std::string::npos;
}

bool ensureFlashPackageDirectory()
{
  const std::string directory = PackagePaths::flashPackageRoot();
  return FileUtils::isDirectory(directory) || FileUtils::makeDirectory(directory, 0755, false);
}

std::string uploadDirectoryFor(const std::string& url, const std::string& storage, std::string& error)
{
  // In a staging directory, where nothing lists it and start-up removes what an
  // interrupted upload left. Data archives go to the flash one: only their unpacked content
  // must reach the package's own storage.
  const bool isInstall = url.find("/package/install.cgi") != std::string::npos;
  if (!isInstall || storage == PackagePaths::flashStorage) {
    if (!ensureFlashPackageDirectory() ||
        !PackagePaths::ensureStagingDirectory(PackagePaths::flashPackageRoot())) {
      error = "Http API: the flash storage is not available";
      return std::string();
    }
    return PackagePaths::stagingDirectory(PackagePaths::flashPackageRoot());
  }
  if (!prepareSdCardDirectories() || !PackagePaths::ensureStagingDirectory(PackagePaths::sdPackageRoot())) {
    error = "Http API: the SD card is not available";
    return std::string();
  }
  return PackagePaths::stagingDirectory(PackagePaths::sdPackageRoot());
}
