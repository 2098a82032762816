#include "packages/PackageController.h"

#include "TestSupport.h"

#include <atomic>
#include <set>
#include <stdexcept>

using namespace TestSupport;

namespace {

UniqueFd listenOn(uint16_t port)
{
  return listenOnLoopback(port);
}

class Controller : public ::testing::Test {
protected:
  Controller()
  {
    writeText(PackagePaths::flashNodeLocation() + "node", "#!/bin/sh\nexec /bin/sh \"$2\"\n", 0755);
    params->seed("NodejsLocation", PackagePaths::flashNodeLocation());
  }

  void install(const std::string& name, const std::string& mainJs = "exec sleep 100\n")
  {
    layout.addPackage(PackagePaths::flashPackageRoot(), name, mainJs);
  }

  StorageLayout layout;
  TestParams params = std::make_shared<FakeParams>();
  LogCapture log;
  PackageController controller{testRuntime(params)};
};

TEST_F(Controller, HandsOutPortPairsFromTheLowestFreeAndTakesThemBack)
{
  // Ports of the range held by other programs on this machine would shift the numbers.
  for (int port = 22522; port <= 22527; ++port) {
    if (!listenOn(port)) {
      GTEST_SKIP() << "port " << port << " is in use here";
    }
  }
  install("a");
  install("b");
  controller.addPackage("a");
  controller.addPackage("b");
  EXPECT_EQ(controller.getPackage("a")->getPort(false), 22522);
  EXPECT_EQ(controller.getPackage("a")->getPort(true), 22523);
  EXPECT_EQ(controller.getPackage("b")->getPort(false), 22524);
  EXPECT_EQ(controller.getPackage("b")->getPort(true), 22525);

  controller.removePackage("a");
  EXPECT_EQ(controller.getPackage("a"), nullptr);
  controller.addPackage("a");
  EXPECT_EQ(controller.getPackage("a")->getPort(false), 22522);

  // A port on which another program listens is skipped.
  UniqueFd busy = listenOn(22526);
  ASSERT_TRUE(busy);
  install("c");
  controller.addPackage("c");
  EXPECT_EQ(controller.getPackage("c")->getPort(false), 22527);
  EXPECT_EQ(controller.getPackage("c")->getPort(true), 22528);
}

TEST_F(Controller, AFifteenthPackageIsRegisteredWithoutPorts)
{
  for (int i = 0; i < 15; ++i) {
    install("p" + std::to_string(i));
    controller.addPackage("p" + std::to_string(i));
  }
  ASSERT_EQ(controller.getPackages().size(), 15u);
  std::set<int> ports;
  int withoutPorts = 0;
  for (const auto& entry : controller.getPackages()) {
    for (bool isPublic : {false, true}) {
      int port = entry.second->getPort(isPublic);
      if (port == Package::noPort) {
        ++withoutPorts;
      } else {
        EXPECT_TRUE(port >= 22522 && port <= 22549) << port;
        EXPECT_TRUE(ports.insert(port).second) << "port " << port << " handed out twice";
      }
    }
  }
  EXPECT_GE(withoutPorts, 2);
  EXPECT_EQ(ports.size() + withoutPorts, 30u);
  EXPECT_EQ(controller.allocatePort(), Package::noPort);
}

TEST_F(Controller, FindsPackagesByExactNameOnFlashBeforeTheSdCard)
{
  install("clockAnalog");
  layout.addPackage(PackagePaths::sdPackageRoot(), "clockAnalog");
  layout.addPackage(PackagePaths::sdPackageRoot(), "weather");
  bool found = true;
  EXPECT_EQ(controller.findPackagePath("clock", &found), "");
  EXPECT_FALSE(found);
  EXPECT_EQ(controller.findPackagePath("clockAnalog", &found),
            PackagePaths::flashPackageRoot() + "clockAnalog");
  EXPECT_TRUE(found);
  EXPECT_EQ(controller.findPackagePath("weather"), PackagePaths::sdPackageRoot() + "weather");
  EXPECT_EQ(controller.findPackagePath(".."), "");
  EXPECT_TRUE(PackageController::isPackageInDirectory(PackagePaths::sdPackageRoot(), "weather"));
  EXPECT_FALSE(PackageController::isPackageInDirectory(PackagePaths::sdPackageRoot(), "weath"));

  try {
    controller.addPackage("clock");
    FAIL() << "registered a package that is not installed";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Package not found: clock");
  }
  EXPECT_TRUE(controller.getPackages().empty());
}

TEST_F(Controller, StartsOnlyWhatIsNotRunningAndSignalsOnlyRunningPackages)
{
  controller.stopAll();
  EXPECT_FALSE(log.contains("Stop all packages"));

  install("a", "echo up\nexec sleep 100\n");
  install("b", "echo up\nexec sleep 100\n");
  controller.addPackage("a");
  controller.addPackage("b");
  auto a = controller.getPackage("a");
  auto b = controller.getPackage("b");
  controller.startAll();
  ASSERT_TRUE(log.waitFor("[ Info    ] a: up") && log.waitFor("[ Info    ] b: up"));

  controller.stopPackage("b");
  EXPECT_FALSE(b->isRunning());
  controller.sendSignal("b", SIGUSR1);
  EXPECT_FALSE(log.contains("to package b"));

  // The next start runs only what is not running.
  controller.startAll();
  EXPECT_TRUE(eventually([&] { return b->isRunning(); }));
  int startsOfA = 0;
  for (const std::string& line : log.lines()) {
    startsOfA += line == "[ Info    ] Start package: a";
  }
  EXPECT_EQ(startsOfA, 1);

  controller.stopAll();
  EXPECT_TRUE(log.has("[ Info    ] Stop all packages"));
  EXPECT_FALSE(a->isRunning() || b->isRunning());
  EXPECT_EQ(controller.getPackages().size(), 2u);
}

TEST_F(Controller, LookupsFromOtherThreadsWhileTheTableChanges)
{
  for (int i = 0; i < 4; ++i) {
    install("p" + std::to_string(i));
  }
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      for (int i = 0; i < 4; ++i) {
        if (auto package = controller.getPackage("p" + std::to_string(i))) {
          package->isRunning();
        }
        controller.stopPackage("p" + std::to_string(i));
      }
    }
  });
  for (int round = 0; round < 50; ++round) {
    for (int i = 0; i < 4; ++i) {
      controller.addPackage("p" + std::to_string(i));
    }
    for (int i = 0; i < 4; ++i) {
      controller.removePackage("p" + std::to_string(i));
    }
  }
  done = true;
  reader.join();
  EXPECT_TRUE(controller.getPackages().empty());
  EXPECT_NE(controller.allocatePort(), Package::noPort);
}

} // namespace
