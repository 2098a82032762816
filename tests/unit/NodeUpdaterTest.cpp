#include "packages/NodeUpdater.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <stdexcept>

using namespace TestSupport;

namespace {

class NodeInstall : public ::testing::Test {
protected:
  // A gzip archive of a small "runtime" at the shipped archive's place.
  void shipArchive(const std::string& content = "#!/bin/sh\necho node\n")
  {
    const std::string plain = layout.root() + "/node-plain";
    writeText(plain, content);
    const std::string command = "gzip -c '" + plain + "' > '" + PackagePaths::nodeArchive() + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  std::string thrownBy(const std::string& location)
  {
    try {
      NodeUpdater::update(*params, location);
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "";
  }

  StorageLayout layout;
  TestParams params;
  LogCapture log;
};

TEST_F(NodeInstall, UnpacksTheArchiveMakesItExecutableAndRecordsTheLocation)
{
  shipArchive("runtime bytes");
  const std::string location = PackagePaths::flashNodeLocation();
  writeText(location + "node", "old runtime");
  NodeUpdater::update(*params, location);
  EXPECT_EQ(readText(location + "node"), "runtime bytes");
  struct stat info {};
  ASSERT_EQ(stat((location + "node").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  EXPECT_FALSE(exists(PackagePaths::nodeArchive()));
  ASSERT_EQ(params->writes.size(), 1u);
  EXPECT_EQ(params->writes[0], std::make_pair(std::string("orvane.NodejsLocation"), location));

  // On the SD card the application's directories are made first.
  shipArchive("sd runtime");
  NodeUpdater::update(*params, PackagePaths::sdApplicationDirectory());
  EXPECT_EQ(readText(PackagePaths::sdApplicationDirectory() + "node"), "sd runtime");
  EXPECT_TRUE(exists(PackagePaths::sdPackageRoot()));
}

TEST_F(NodeInstall, AFailedUpdateRemovesTheRuntimeAndEmptiesTheLocation)
{
  const std::string location = PackagePaths::flashNodeLocation();
  shipArchive();
  params->refuseWrites = true;
  writeText(location + "node", "old runtime");
  EXPECT_EQ(thrownBy(location), "Unable to set parameter NodejsLocation");
  EXPECT_FALSE(exists(location + "node"));
  ASSERT_EQ(params->writes.size(), 2u);
  EXPECT_EQ(params->writes[1].second, "");
  params->refuseWrites = false;

  writeText(PackagePaths::nodeArchive(), "not gzip at all");
  const std::string message = thrownBy(location);
  EXPECT_EQ(message, "NodeUpdater: update NodeJS - decompression error. \n Path:" +
                         PackagePaths::nodeArchive() + "\n Dir: " + location);
  EXPECT_FALSE(exists(location + "node"));
  EXPECT_TRUE(exists(PackagePaths::nodeArchive()));
  EXPECT_EQ(params->getParameters()["NodejsLocation"], "");

  writeText(PackagePaths::nodeArchive(), "gz");
  EXPECT_EQ(thrownBy(location), "Couldn't read uncompressed size!");
}

// The start-up update onto a missing SD card and its recovery are checked end to end.
TEST_F(NodeInstall, StartUpWithoutAnArchiveDoesNothingAndLogsNothing)
{
  params->seed("NodejsLocation", PackagePaths::flashNodeLocation());
  EXPECT_TRUE(startupNodeUpdate(*params));
  EXPECT_TRUE(log.lines().empty()) << log.text();
  EXPECT_TRUE(params->writes.empty());
}

} // namespace
