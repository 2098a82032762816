#include "app/LocalDataMigration.h"

#include "packages/PackagePaths.h"
#include "util/CHandle.h"
#include "util/FileUtils.h"
#include "util/Logger.h"

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

void logFailure(const std::string& what, const std::string& path)
{
  Logger::log("Local data migration: cannot " + what + " " + path, LogLevel::Error);
}

// Moves `source` to `destination` (which must not exist); a rename where both share a file
// system, a copy and a removal where they do not.
bool moveTree(const std::string& source, const std::string& destination)
{
  if (std::rename(source.c_str(), destination.c_str()) == 0) {
    return true;
  }
  if (errno != EXDEV) {
    return false;
  }
  if (!FileUtils::copyTree(source, destination)) {
    FileUtils::removeTree(destination);
    return false;
  }
  return FileUtils::removeTree(source);
}

// Every entry of `directory` (dot files too), the directory itself kept.
void emptyDirectory(const std::string& directory)
{
  CHandle<DIR, closedir> dir(opendir(directory.c_str()));
  if (!dir) {
    return;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  for (const std::string& name : names) {
    if (!FileUtils::removeTree(directory + name)) {
      logFailure("remove", directory + name);
    }
  }
}

} // namespace

void migrateLocalData()
{
  const std::string application = PackagePaths::applicationDirectory();
  const std::string oldRoot = application + "localdata_packages";
  if (!FileUtils::isDirectory(oldRoot)) {
    return;
  }
  const std::string dataDirectory = PackagePaths::localDataDirectory();

  for (const std::string& entry : FileUtils::listDirectories(oldRoot)) {
    if (entry == "." || entry == "..") {
      continue;
    }
    const std::string oldData = dataDirectory + "packages/" + entry + "/localdata";
    // The package directory's own "localdata" is replaced only by data that exists:
    // removing it without a replacement would lose it.
    if (!FileUtils::isDirectory(oldData)) {
      continue;
    }
    const std::string packageData = oldRoot + "/" + entry + "/localdata";
    if (!FileUtils::removeTree(packageData)) {
      logFailure("remove", packageData);
      continue;
    }
    // The data directory is emptied below anyway, so its data can be moved, not copied.
    if (!moveTree(oldData, packageData)) {
      logFailure("move data into", packageData);
    }
  }

  emptyDirectory(dataDirectory);
  FileUtils::makeDirectory(dataDirectory, 0755, false);
  if (!moveTree(oldRoot, dataDirectory + "packages")) {
    logFailure("move the packages to", dataDirectory + "packages");
  }
}
