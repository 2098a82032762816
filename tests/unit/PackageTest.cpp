#include "packages/Package.h"

#include "TestSupport.h"

#include <memory>

using namespace TestSupport;

namespace {

// Packages run a shell script as their main.js: the "node" at the Node.js location is a
// script that hands main.js to sh, after checking its first argument.
class PackageProcess : public ::testing::Test {
protected:
  PackageProcess()
  {
    writeText(PackagePaths::flashNodeLocation() + "node",
              "#!/bin/sh\n[ \"$1\" = --use-openssl-ca ] || exit 7\nexec /bin/sh \"$2\"\n", 0755);
    params->seed("NodejsLocation", PackagePaths::flashNodeLocation());
  }

  std::shared_ptr<Package> make(const std::string& mainJs, int port = 22522, int publicPort = 22523)
  {
    const std::string path = layout.addPackage(PackagePaths::flashPackageRoot(), "pkg", mainJs);
    return std::make_shared<Package>("pkg", port, publicPort, path, runtime(), supervisor);
  }

  std::shared_ptr<const PackageRuntime> runtime() const
  {
    return std::make_shared<const PackageRuntime>(testRuntime(params));
  }

  StorageLayout layout;
  TestParams params = std::make_shared<FakeParams>();
  LogCapture log;
  std::shared_ptr<Supervisor> supervisor = std::make_shared<Supervisor>(Package::maxLineLength);
};

// The full environment, stderr and the termination sequence are checked end to end with a
// real Node.js package; these cases cover what a package cannot easily show there.
TEST_F(PackageProcess, LogsEachCompleteLineAndGivesNoPublicPortAsZero)
{
  auto package =
      make("echo HTTP_PORT=$HTTP_PORT HTTP_PORT_PUBLIC=$HTTP_PORT_PUBLIC\nprintf a\nprintf 'b\\n'\n"
           "echo to-stderr >&2\necho\necho ready\nprintf unfinished\nexec sleep 100\n",
           22530, Package::noPort);
  EXPECT_EQ(package->getPort(true), Package::noPort);
  package->run();
  ASSERT_TRUE(log.waitFor("[ Info    ] pkg: ready")) << log.text();
  EXPECT_TRUE(package->isRunning());
  EXPECT_TRUE(log.has("[ Info    ] pkg: HTTP_PORT=22530 HTTP_PORT_PUBLIC=0"));
  EXPECT_TRUE(log.has("[ Info    ] pkg: ab"));
  EXPECT_TRUE(log.has("[ Error   ] pkg: to-stderr"));
  EXPECT_TRUE(log.has("[ Info    ] pkg: "));
  EXPECT_FALSE(log.contains("unfinished"));
  EXPECT_TRUE(log.contains("[ Debug   ] Parent child pid: "));

  package->stop();
  EXPECT_FALSE(package->isRunning());
  EXPECT_FALSE(log.contains("process killed"));
  EXPECT_FALSE(log.contains("unfinished"));
}

TEST_F(PackageProcess, NothingStartsWithoutAValidManifestARecentEnoughOrvaneOrARuntime)
{
  const std::string path = layout.addPackage(PackagePaths::flashPackageRoot(), "old", "echo ran\n", "9.0");
  Package old("old", 22522, 22523, path, runtime(), supervisor);
  old.run();
  EXPECT_TRUE(log.has("[ Error   ] Run package: package requires Orvane version 9.0 or newer."));

  Package missing("gone", 22524, 22525, PackagePaths::flashPackageRoot() + "gone", runtime(), supervisor);
  missing.run();

  auto package = make("echo ran\nexec sleep 100\n");
  params->seed("NodejsLocation", "");
  package->run();
  EXPECT_TRUE(log.waitFor("[ Debug   ] Could not start package: Orvane installation is not fully finished"));

  params->seed("NodejsLocation", layout.root() + "/nowhere/");
  package->run();
  EXPECT_TRUE(log.waitFor("[ Debug   ] Failed to execute child process for package: pkg error: "
                          "No such file or directory"));
  EXPECT_TRUE(eventually([&] { return !package->isRunning(); }));
  package->stop();

  EXPECT_FALSE(old.isRunning());
  EXPECT_FALSE(missing.isRunning());
  EXPECT_FALSE(log.contains("pkg: ran"));
}

} // namespace
