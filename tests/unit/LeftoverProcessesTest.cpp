#include "packages/LeftoverProcesses.h"

#include "packages/ChildProcess.h"
#include "packages/ProcessLauncher.h"
#include "packages/ProcessTree.h"

#include "TestSupport.h"

#include <signal.h>

using namespace TestSupport;

namespace {

// A shell in a session of its own that starts a child in its group and ignores SIGTERM, as
// a package left behind by an Orvane that died would.
std::shared_ptr<ChildProcess> startGroup()
{
  LaunchIsolation isolation;
  isolation.ownSession = true;
  const LaunchResult launched = launchProcess(
      "/bin/sh", {"sh", "-c", "trap '' TERM; sleep 30 & wait"}, {}, "/", 1, 2, isolation);
  EXPECT_EQ(launched.failure, LaunchFailure::None);
  auto process = std::make_shared<ChildProcess>(launched.pid);
  // Wait for the child, so that the group has its two processes.
  for (int i = 0; i < 200 && ProcessTree(launched.pid, "").members().size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return process;
}

TEST(LeftoverProcessesTest, EndsARecordedGroupWhoseLeaderIsTheRecordedProcessAndForgetsTheRecord)
{
  TempDir dir;
  const std::string records = dir.path() + "/running/";
  LogCapture log;
  auto process = startGroup();
  const pid_t pid = process->pid();
  ASSERT_EQ(ProcessTree(pid, "").members().size(), 2u);
  LeftoverProcesses::save(records, "pkg", pid, ProcessInfo::read(pid).startTime, "");

  EXPECT_EQ(LeftoverProcesses::endAll(records, std::chrono::milliseconds(200)), 2u);
  ASSERT_TRUE(process->waitFor(std::chrono::seconds(5)));
  EXPECT_EQ(process->exitStatus()->signal, SIGKILL);
  EXPECT_TRUE(ProcessTree(pid, "").empty());
  EXPECT_FALSE(exists(records + "pkg"));
  EXPECT_NE(log.text().find("Package pkg: ending 2 processes left running by an earlier Orvane"), std::string::npos);
}

TEST(LeftoverProcessesTest, NeverTouchesAGroupWhoseLeaderIdNowNamesAnotherProcess)
{
  TempDir dir;
  const std::string records = dir.path() + "/running/";
  auto process = startGroup();
  const pid_t pid = process->pid();
  // The same id with another start time: the recorded process is gone and the id reused.
  LeftoverProcesses::save(records, "pkg", pid, ProcessInfo::read(pid).startTime - 1, "");
  EXPECT_EQ(LeftoverProcesses::endAll(records, std::chrono::milliseconds(200)), 0u);
  EXPECT_FALSE(process->reap());
  EXPECT_EQ(ProcessTree(pid, "").members().size(), 2u);
  EXPECT_FALSE(exists(records + "pkg"));

  // Ended by erase's counterpart: a package stopped normally leaves no record behind.
  LeftoverProcesses::save(records, "pkg", pid, ProcessInfo::read(pid).startTime, "");
  LeftoverProcesses::erase(records, "pkg");
  EXPECT_EQ(LeftoverProcesses::endAll(records, std::chrono::milliseconds(200)), 0u);
  ProcessTree(pid, "").kill();
  EXPECT_TRUE(process->waitFor(std::chrono::seconds(5)));
}

} // namespace
