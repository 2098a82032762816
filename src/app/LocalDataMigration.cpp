#include "app/LocalDataMigration.h"

#include "packages/PackagePaths.h"
#include "util/FileUtils.h"
#include "util/StringUtils.h"

#include <cstdlib>
#include <string>

namespace {

void run(const std::string& command)
{
  int ignored = std::system(command.c_str());
  (void)ignored;
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
    const std::string packageDirectory = oldRoot + "/" + entry;
    run("rm -rf " + StringUtils::shellQuote(packageDirectory + "/localdata"));
    run("cp -r " + StringUtils::shellQuote(oldData) + " " + StringUtils::shellQuote(packageDirectory));
  }

  run("rm -rf " + StringUtils::shellQuote(dataDirectory) + "* ");
  FileUtils::makeDirectory(dataDirectory, 0755, false);
  run("mv " + StringUtils::shellQuote(oldRoot) + " " + StringUtils::shellQuote(dataDirectory + "packages"));
}
