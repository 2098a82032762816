#include "http/PackageArchive.h"
#include "http/PackageLock.h"
#include "http/PackageName.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

class TemporaryDirectory {
public:
  TemporaryDirectory()
  {
    char pattern[] = "/tmp/orvane-archive-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TemporaryDirectory() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string path;
};

// Writes a zip at `path` holding each (name, content); a name ending in "/" is a directory.
void writeZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries)
{
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(archive, nullptr);
  for (const auto& entry : entries) {
    if (!entry.first.empty() && entry.first.back() == '/') {
      ASSERT_GE(zip_dir_add(archive, entry.first.c_str(), 0), 0);
      continue;
    }
    zip_source_t* source = zip_source_buffer(archive, entry.second.data(), entry.second.size(), 0);
    ASSERT_NE(source, nullptr);
    ASSERT_GE(zip_file_add(archive, entry.first.c_str(), source, 0), 0);
  }
  ASSERT_EQ(zip_close(archive), 0);
}

} // namespace

TEST(PackageInstallRulesTest, PackageNamesAllowLettersDigitsDashAndUnderscoreOnly)
{
  EXPECT_TRUE(isValidPackageName("my-app_2"));
  EXPECT_TRUE(isValidPackageName("Z"));
  for (const char* name :
       {"", "my.app", "my app", "my,app", ".", "..", "a/b", "a\"b", "caf\xc3\xa9", "a$b"}) {
    EXPECT_FALSE(isValidPackageName(name)) << name;
  }
}

TEST(PackageInstallRulesTest, ArchiveSizeIsTheSumOfItsEntries)
{
  TemporaryDirectory directory;
  const std::string path = directory.path + "/p.zip";
  writeZip(path, {{"manifest.json", "{}"}, {"html/", ""}, {"html/index.html", std::string(100000, 'x')}});
  const PackageArchive archive = inspectPackageArchive(path);
  EXPECT_TRUE(archive.usable) << archive.problem;
  EXPECT_EQ(archive.uncompressedSize, 100002u);
}

TEST(PackageInstallRulesTest, ArchivesThatCouldWriteOutsideTheirDirectoryAreRefused)
{
  TemporaryDirectory directory;
  const std::string path = directory.path + "/p.zip";
  for (const char* name : {"../evil.js", "a/../../evil.js", "/etc/evil", "a/..", "a\\..\\b"}) {
    writeZip(path, {{"manifest.json", "{}"}, {name, "x"}});
    const PackageArchive archive = inspectPackageArchive(path);
    EXPECT_FALSE(archive.usable) << name;
    EXPECT_NE(archive.problem.find(name), std::string::npos) << archive.problem;
  }
  writeZip(path, {{"a..b/..c", "dots inside names are fine"}});
  EXPECT_TRUE(inspectPackageArchive(path).usable);
}

TEST(PackageInstallRulesTest, ArchivesRepeatingAnEntryNameAreRefused)
{
  TemporaryDirectory directory;
  const std::string path = directory.path + "/p.zip";
  writeZip(path, {{"main.js", "first"}, {"main.jz", "second"}});
  // Rename the second entry in its local and central headers to repeat the first name.
  ASSERT_EQ(std::system(("sed -i 's/main\\.jz/main.js/g' '" + path + "'").c_str()), 0);
  const PackageArchive archive = inspectPackageArchive(path);
  EXPECT_FALSE(archive.usable);
  EXPECT_EQ(archive.problem, "repeated entry: main.js");
}

TEST(PackageInstallRulesTest, FilesThatAreNotZipArchivesAreRefused)
{
  TemporaryDirectory directory;
  const std::string text = directory.path + "/text.zip";
  ASSERT_EQ(std::system(("printf 'not a zip' > '" + text + "'").c_str()), 0);
  EXPECT_FALSE(inspectPackageArchive(text).usable);
  EXPECT_FALSE(inspectPackageArchive(directory.path + "/missing.zip").usable);
  // An empty file part's temporary name is the upload directory itself.
  EXPECT_FALSE(inspectPackageArchive(directory.path + "/").usable);
}

TEST(PackageInstallRulesTest, LocksOfOnePackageNameWaitForEachOtherAndOtherNamesDoNot)
{
  std::atomic<bool> secondHolds{false};
  std::thread second;
  {
    PackageLock first("clock");
    {
      PackageLock other("clockAnalog");
    }
    second = std::thread([&secondHolds]() {
      PackageLock lock("clock");
      secondHolds = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(secondHolds.load());
  }
  second.join();
  EXPECT_TRUE(secondHolds.load());
}
