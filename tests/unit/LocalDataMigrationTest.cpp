#include "app/LocalDataMigration.h"

#include "TestSupport.h"

using namespace TestSupport;

namespace {

class Migration : public ::testing::Test {
protected:
  std::string app() const { return PackagePaths::applicationDirectory(); }
  std::string oldRoot() const { return app() + "localdata_packages/"; }
  std::string data() const { return PackagePaths::localDataDirectory(); }

  StorageLayout layout;
};

TEST_F(Migration, NothingHappensWithoutTheOldPackageDirectory)
{
  writeText(data() + "keep.txt", "x");
  migrateLocalData();
  EXPECT_TRUE(exists(data() + "keep.txt"));
  EXPECT_TRUE(exists(PackagePaths::flashPackageRoot()));
}

TEST_F(Migration, MovesPackagesIntoTheCurrentLayoutWithTheirData)
{
  // clock: old layout with its data kept apart.
  makeDirectories(oldRoot() + "clock/localdata");
  writeText(oldRoot() + "clock/main.js", "main");
  writeText(oldRoot() + "clock/localdata/stale.json", "stale");
  makeDirectories(data() + "packages/clock/localdata");
  writeText(data() + "packages/clock/localdata/settings.json", "kept");
  // weather: no data kept apart; its own localdata must survive.
  makeDirectories(oldRoot() + "weather/localdata");
  writeText(oldRoot() + "weather/localdata/own.json", "own");
  makeDirectories(data() + "packages/weather");
  // "it's": a name that would be shell syntax unquoted.
  makeDirectories(oldRoot() + "it's");
  writeText(data() + "other.txt", "removed");

  migrateLocalData();

  const std::string root = PackagePaths::flashPackageRoot();
  EXPECT_FALSE(exists(oldRoot()));
  EXPECT_EQ(readText(root + "clock/main.js"), "main");
  EXPECT_EQ(readText(root + "clock/localdata/settings.json"), "kept");
  EXPECT_FALSE(exists(root + "clock/localdata/stale.json"));
  EXPECT_EQ(readText(root + "weather/localdata/own.json"), "own");
  EXPECT_TRUE(exists(root + "it's"));
  EXPECT_FALSE(exists(data() + "other.txt"));

  // Idempotent: a second run changes nothing.
  migrateLocalData();
  EXPECT_EQ(readText(root + "clock/localdata/settings.json"), "kept");
}

TEST_F(Migration, AnEmptyOldDirectoryBecomesTheEmptyPackageRoot)
{
  makeDirectories(oldRoot());
  makeDirectories(data() + "packages/leftover");
  migrateLocalData();
  EXPECT_TRUE(exists(PackagePaths::flashPackageRoot()));
  EXPECT_FALSE(exists(PackagePaths::flashPackageRoot() + "leftover"));
  EXPECT_FALSE(exists(oldRoot()));
}

} // namespace
