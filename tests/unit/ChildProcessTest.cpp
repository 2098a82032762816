#include "packages/ChildProcess.h"

#include "TestSupport.h"

#include <sys/wait.h>

#include <atomic>
#include <cerrno>

namespace {

// Returns once the child has exec'd: a signal sent earlier would reach this test's own code
// in the child (and, under a sanitizer, its crash handler) instead of the shell.
pid_t spawnShell(const char* script)
{
  int execed[2];
  if (pipe2(execed, O_CLOEXEC) != 0) {
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", script, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(execed[1]);
  char byte;
  while (read(execed[0], &byte, 1) < 0 && errno == EINTR) {
  }
  close(execed[0]);
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
