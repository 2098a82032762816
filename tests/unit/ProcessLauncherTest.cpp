#include "packages/ProcessLauncher.h"

#include "TestSupport.h"

#include <sys/wait.h>

#include <cerrno>

using namespace TestSupport;

namespace {

struct Output {
  int status = -1;
  std::string out;
  std::string err;
};

class Launching : public ::testing::Test {
protected:
  // Runs the shell script `script` through launchProcess and collects what it printed.
  Output run(const std::string& script, const std::vector<std::string>& environment,
             LaunchResult* result = nullptr, const std::string& executable = "/bin/sh",
             const std::string& workingDirectory = "")
  {
    writeText(dir.path() + "/script.sh", script);
    int outRead, outWrite, errRead, errWrite;
    EXPECT_TRUE(makePipe(outRead, outWrite));
    EXPECT_TRUE(makePipe(errRead, errWrite));
    UniqueFd outReader(outRead), outWriter(outWrite), errReader(errRead), errWriter(errWrite);
    LaunchResult launched =
        launchProcess(executable, {"sh", "script.sh"}, environment,
                      workingDirectory.empty() ? dir.path() : workingDirectory, outWrite, errWrite);
    outWriter.reset();
    errWriter.reset();
    Output output;
    EXPECT_GT(launched.pid, 0);
    output.out = readAll(outReader.get());
    output.err = readAll(errReader.get());
    waitpid(launched.pid, &output.status, 0);
    if (result != nullptr) {
      *result = launched;
    }
    return output;
  }

  TempDir dir;
};

TEST_F(Launching, TheProgramGetsExactlyTheGivenEnvironmentArgumentsAndDirectory)
{
  LaunchResult launched;
  Output output = run("echo \"$0 $1 $#\"; pwd; env | sort; echo oops >&2; exit 3",
                      {"B=2", "A=1 with blank", "PATH=/usr/bin:/bin"}, &launched);
  EXPECT_EQ(launched.failure, LaunchFailure::None);
  ASSERT_TRUE(WIFEXITED(output.status));
  EXPECT_EQ(WEXITSTATUS(output.status), 3);
  // sh adds PWD (and may add OLDPWD/SHLVL/_) itself; nothing of the test's environment gets in.
  EXPECT_NE(output.out.find("script.sh  0\n" + dir.path() + "\n"), std::string::npos) << output.out;
  EXPECT_NE(output.out.find("A=1 with blank\nB=2\n"), std::string::npos) << output.out;
  EXPECT_EQ(output.out.find("HOME="), std::string::npos) << output.out;
  EXPECT_EQ(output.err, "oops\n");
}

TEST_F(Launching, NoDescriptorOfTheParentReachesTheProgram)
{
  // A descriptor deliberately left inheritable by this process.
  int opened = open("/dev/null", O_RDONLY);
  ASSERT_GE(opened, 0);
  const int leaked = 100;
  ASSERT_EQ(dup2(opened, leaked), leaked);
  close(opened);
  Output output = run("ls /proc/self/fd", {});
  close(leaked);
  // The listing shows 0, 1, 2 and the directory ls itself reads.
  EXPECT_EQ(output.out.find("\n" + std::to_string(leaked) + "\n"), std::string::npos) << output.out;
  EXPECT_LE(std::count(output.out.begin(), output.out.end(), '\n'), 4) << output.out;
}

TEST_F(Launching, FailuresBeforeTheProgramRunsAreReportedToTheParent)
{
  LaunchResult launched;
  Output output = run("echo never", {}, &launched, dir.path() + "/missing-node");
  EXPECT_EQ(launched.failure, LaunchFailure::Execute);
  EXPECT_EQ(launched.error, ENOENT);
  ASSERT_TRUE(WIFEXITED(output.status));
  EXPECT_EQ(WEXITSTATUS(output.status), 1);
  EXPECT_EQ(output.out, "");

  output = run("echo never", {}, &launched, "/bin/sh", dir.path() + "/no-such-directory");
  EXPECT_EQ(launched.failure, LaunchFailure::WorkingDirectory);
  EXPECT_EQ(launched.error, ENOENT);
  EXPECT_EQ(WEXITSTATUS(output.status), 1);

  writeText(dir.path() + "/not-executable", "#!/bin/sh\n", 0644);
  output = run("echo never", {}, &launched, dir.path() + "/not-executable");
  EXPECT_EQ(launched.failure, LaunchFailure::Execute);
  EXPECT_EQ(launched.error, EACCES);
}

TEST(MakePipe, EndsAreCloseOnExecAndAboveTheStandardDescriptors)
{
  // With standard input closed, pipe() would hand out descriptor 0.
  int savedStdin = dup(STDIN_FILENO);
  close(STDIN_FILENO);
  int readEnd = -1, writeEnd = -1;
  bool made = makePipe(readEnd, writeEnd);
  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
  ASSERT_TRUE(made);
  UniqueFd reader(readEnd), writer(writeEnd);
  EXPECT_GT(readEnd, 2);
  EXPECT_GT(writeEnd, 2);
  EXPECT_TRUE(fcntl(readEnd, F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(writeEnd, F_GETFD) & FD_CLOEXEC);
}

} // namespace
