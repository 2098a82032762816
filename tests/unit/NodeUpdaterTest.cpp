#include "packages/NodeUpdater.h"

#include "TestSupport.h"

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
  TestParams params = std::make_shared<FakeParams>();
  LogCapture log;
};

// Unpacking onto FLASH and onto the SD card, the mode and the recorded location are checked
// end to end; so are the start-up update onto a missing SD card and its recovery.
TEST_F(NodeInstall, AFailedUpdateRemovesTheRuntimeAndEmptiesTheLocation)
{
  const std::string location = PackagePaths::flashNodeLocation();
  shipArchive();
  params->refuseWrites = true;
  writeText(location + "node", "old runtime");
  // The write that failed the update is reported; the clean-up's own refusal is logged.
  EXPECT_EQ(thrownBy(location),
            "Unable to set parameter \"orvane.NodejsLocation\" to \"" + location + "\" - refused");
  EXPECT_TRUE(log.has("[ Error   ] Unable to set parameter \"orvane.NodejsLocation\" to \"\" - refused"));
  EXPECT_FALSE(exists(location + "node"));
  ASSERT_EQ(params->writes.size(), 2u);
  // Written in the application's own group, as the platform names it.
  EXPECT_EQ(params->writes[1], (std::pair<std::string, std::string>("orvane.NodejsLocation", "")));
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

TEST_F(NodeInstall, StartUpWithoutAnArchiveDoesNothingAndLogsNothing)
{
  params->seed("NodejsLocation", PackagePaths::flashNodeLocation());
  EXPECT_TRUE(startupNodeUpdate(*params));
  EXPECT_TRUE(log.lines().empty()) << log.text();
  EXPECT_TRUE(params->writes.empty());
}

} // namespace
