#include "util/SystemUtils.h"

#include "TestSupport.h"
#include "util/Limits.h"

#include <cstdlib>
#include <set>

namespace {

// The pipes this process has open, as "pipe:[inode]".
std::set<std::string> openPipes()
{
  std::set<std::string> pipes;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.rfind("pipe:", 0) == 0) {
      pipes.insert(target);
    }
  }
  return pipes;
}

const char* const referenceMeminfo = "MemTotal:        1000000 kB\n"
                                     "MemFree:          100000 kB\n"
                                     "MemAvailable:     999999 kB\n"
                                     "Buffers:           10000 kB\n"
                                     "Cached:           200000 kB\n"
                                     "SwapCached:        77777 kB\n"
                                     "SReclaimable:       5000 kB\n"
                                     "Shmem:             15000 kB\n"
                                     "HugePages_Total:       0\n";

std::string meminfoWith(int64_t total, int64_t free)
{
  return "MemTotal: " + std::to_string(total) + " kB\nMemFree: " + std::to_string(free) + " kB\n";
}

} // namespace

TEST(SystemUtilsTest, ExecRunsTheProgramWithExactlyItsArgumentsAndReportsHowItEnded)
{
  const std::string nasty = "a b;$(touch pwned)`id` 'q\"*\n";
  int status = -5;
  EXPECT_EQ(SystemUtils::exec({"printf", "%s|%s", nasty, "*"}, status), nasty + "|*");
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(std::filesystem::exists("pwned"));
  EXPECT_EQ(SystemUtils::exec({"sh", "-c", "printf 'one\\ntwo'; exit 3"}, status), "one\ntwo");
  EXPECT_EQ(status, 3);
  EXPECT_EQ(SystemUtils::exec({"sh", "-c", "echo partial; kill -9 $$"}, status), "partial\n");
  EXPECT_EQ(status, 128 + 9);
  // The same status whether the C library sees the exec fail or only the child does (as
  // under qemu-user).
  EXPECT_EQ(SystemUtils::exec({"/no/such/command-here"}, status), "");
  EXPECT_EQ(status, SystemUtils::cannotExecuteStatus);
  EXPECT_EQ(SystemUtils::exec({"no-such-command-on-the-path"}, status), "");
  EXPECT_EQ(status, SystemUtils::cannotExecuteStatus);
}

TEST(SystemUtilsTest, ExecKeepsAtMostTheOutputLimitAndEndsAProgramThatPrintsForever)
{
  int status = -5;
  const std::string endless = SystemUtils::exec({"yes", "0123456789"}, status);
  EXPECT_EQ(endless.size(), Limits::maxExecOutputBytes);
  EXPECT_EQ(endless.substr(0, 22), "0123456789\n0123456789\n");
  EXPECT_EQ(status, 128 + SIGPIPE);
}

TEST(SystemUtilsTest, ExecPipeDoesNotLeakIntoProcessesStartedMeanwhile)
{
  const std::set<std::string> before = openPipes();
  std::thread running([] { SystemUtils::exec({"sleep", "2"}); });
  std::set<std::string> added;
  for (int attempt = 0; attempt < 150 && added.empty(); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (const std::string& pipe : openPipes()) {
      if (before.count(pipe) == 0) {
        added.insert(pipe);
      }
    }
  }
  ASSERT_FALSE(added.empty()) << "the command's pipe never showed up";

  // Another thread starting a process while the command runs must not pass the pipe on.
  // (Not through popen: that closes earlier popen streams in its child by itself.)
  TestSupport::TempDir temp;
  const int status = std::system(("ls -l /proc/self/fd > " + temp / "fds").c_str());
  const std::string inChild = TestSupport::readText(temp / "fds");
  running.join();
  ASSERT_EQ(status, 0);
  for (const std::string& pipe : added) {
    EXPECT_EQ(inChild.find(pipe), std::string::npos) << pipe << " leaked:\n" << inChild;
  }
}

TEST(SystemUtilsTest, AvailableMemoryAddsTheFreeKindsLessSharedAndAReserveThatDependsOnTotal)
{
  // (100000 + 10000 + 5000 + 200000 - 15000) / 1024 = 292, less 30 for 1000000 kB total.
  EXPECT_EQ(SystemUtils::availableMemoryMbFrom(referenceMeminfo), 262);
  EXPECT_EQ(SystemUtils::availableMemoryMbFrom(meminfoWith(154623, 102400)), 100 - 12);
  EXPECT_EQ(SystemUtils::availableMemoryMbFrom(meminfoWith(154624, 102400)), 100 - 20);
  EXPECT_EQ(SystemUtils::availableMemoryMbFrom(meminfoWith(410624, 102400)), 100 - 30);
  // Division rounds towards zero before the reserve: 1023 kB is 0 MiB.
  EXPECT_EQ(SystemUtils::availableMemoryMbFrom(meminfoWith(100000, 13 * 1024 - 1)), 0);
  EXPECT_EQ(SystemUtils::availableMemoryMbFrom(meminfoWith(100000, 13 * 1024)), 1);
  // Unreadable figures give zero.
  EXPECT_EQ(SystemUtils::availableMemoryMbFrom(""), 0);
  EXPECT_EQ(SystemUtils::availableMemoryMbFrom("MemTotal: 1000000 kB\nMemFree: lots kB\n"), 0);
  EXPECT_EQ(SystemUtils::availableMemoryMbFrom("MemTotal: 1000000 kB\nMemFree: 99999999999 kB\n"), 0);
}
