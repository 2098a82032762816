#include "http/UploadDirectory.h"

#include "packages/PackagePaths.h"
#include "util/FileUtils.h"

bool ensureFlashPackageDirectory()
{
  const std::string directory = PackagePaths::flashPackageRoot();
  return FileUtils::isDirectory(directory) || FileUtils::makeDirectory(directory, 0755, false);
}

std::string uploadDirectoryFor(const std::string& url, const std::string& storage, std::string& error)
{
  if (url.find("/package/install.cgi") == std::string::npos) {
    return "/tmp/";
  }
  if (storage == PackagePaths::flashStorage) {
    if (!ensureFlashPackageDirectory()) {
      error = "Http API: the flash storage is not available";
      return std::string();
    }
    return PackagePaths::flashPackageRoot();
  }
  if (!prepareSdCardDirectories()) {
    error = "Http API: the SD card is not available";
    return std::string();
  }
  return PackagePaths::sdPackageRoot();
}
