#include "packages/ChildProcess.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

pid_t spawnShell(const char* script)
{
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", script, static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

TEST(ChildProcessTest, ASecondReapOrASignalAfterTheEndNeverReachesAnotherProcess)
{
  ChildProcess first(spawnShell("exec sleep 100"));
  ASSERT_TRUE(first.usage().has_value());
  EXPECT_FALSE(first.reap());
  EXPECT_TRUE(first.signal(SIGSEGV));
  first.wait();
  ASSERT_TRUE(first.exitStatus().has_value());
  EXPECT_EQ(first.exitStatus()->describe(), "by signal SIGSEGV");

  // Another child now runs, possibly under the id the first one had.
  const pid_t other = spawnShell("exec sleep 100");
  EXPECT_TRUE(first.reap());
  EXPECT_FALSE(first.signal(SIGKILL));
  EXPECT_FALSE(first.usage().has_value());
  EXPECT_EQ(waitpid(other, nullptr, WNOHANG), 0) << "the other child was collected or ended";
  kill(other, SIGKILL);
  waitpid(other, nullptr, 0);
}

TEST(ChildProcessTest, ConcurrentWaitersCollectOnceAndAllSeeTheExitCode)
{
  ChildProcess child(spawnShell("sleep 0.2; exit 3"));
  std::vector<std::thread> waiters;
  std::atomic<int> ended{0};
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] { ended += child.waitFor(std::chrono::seconds(10)) ? 1 : 0; });
  }
  for (std::thread& waiter : waiters) {
    waiter.join();
  }
  EXPECT_EQ(ended, 4);
  EXPECT_EQ(child.exitStatus()->describe(), "with code 3");
  EXPECT_EQ(waitpid(child.pid(), nullptr, WNOHANG), -1) << "left uncollected";
}

} // namespace
