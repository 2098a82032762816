#include "packages/ProcessLauncher.h"

#include "util/UniqueFd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace {

struct ChildReport {
  LaunchFailure failure;
  int error;
};

// Moves a descriptor to 3 or above, close-on-exec. Returns the descriptor to use.
int moveAboveStandard(int fd)
{
  if (fd > STDERR_FILENO) {
    return fd;
  }
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  return moved;
}

int highestDescriptorBound()
{
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 65536) {
    return 65536;
  }
  return static_cast<int>(limit.rlim_cur);
}

// Everything below runs in the child of a multi-threaded process: async-signal-safe calls
// only, no allocation, no locks, no logging.
[[noreturn]] void reportAndExit(int reportFd, LaunchFailure failure, int error)
{
  ChildReport report{failure, error};
  ssize_t written;
  do {
    written = ::write(reportFd, &report, sizeof report);
  } while (written < 0 && errno == EINTR);
  _exit(1);
}

bool moveOnto(int fd, int target)
{
  if (fd == target) {
    // dup2 onto itself keeps close-on-exec set.
    return fcntl(fd, F_SETFD, 0) == 0;
  }
  return dup2(fd, target) == target;
}

void markAllCloseOnExec(int descriptorBound)
{
  if (syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
    return;
  }
  for (int fd = STDERR_FILENO + 1; fd < descriptorBound; ++fd) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

// What the child needs of a LaunchIsolation, prepared before fork.
struct ChildIsolation {
  bool ownSession;
  int parentDeathSignal;
  pid_t parent;
  const char* cgroupProcsFile;
};

bool isolate(const ChildIsolation& isolation)
{
  if (isolation.cgroupProcsFile != nullptr) {
    // "0" names the writer itself.
    const int fd = open(isolation.cgroupProcsFile, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
      return false;
    }
    ssize_t written;
    do {
      written = ::write(fd, "0", 1);
    } while (written < 0 && errno == EINTR);
    const int error = errno;
    ::close(fd);
    if (written != 1) {
      errno = error;
      return false;
    }
  }
  if (isolation.ownSession && setsid() < 0) {
    return false;
  }
  if (isolation.parentDeathSignal != 0) {
    if (prctl(PR_SET_PDEATHSIG, isolation.parentDeathSignal) != 0) {
      return false;
    }
    // The parent may have ended before the signal was asked for.
    if (getppid() != isolation.parent) {
      _exit(1);
    }
  }
  return true;
}

[[noreturn]] void runChild(int reportFd, const char* executable, char* const* argv, char* const* envp,
                           const char* workingDirectory, int outputFd, int errorFd, int descriptorBound,
                           const ChildIsolation& isolation)
{
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  // Whatever mask Orvane itself was started with, what a package creates is not writable by
  // other users.
  umask(022);

  if (!moveOnto(outputFd, STDOUT_FILENO)) {
    reportAndExit(reportFd, LaunchFailure::StandardOutput, errno);
  }
  if (!moveOnto(errorFd, STDERR_FILENO)) {
    reportAndExit(reportFd, LaunchFailure::StandardError, errno);
  }
  if (!isolate(isolation)) {
    reportAndExit(reportFd, LaunchFailure::Isolation, errno);
  }
  if (chdir(workingDirectory) != 0) {
    reportAndExit(reportFd, LaunchFailure::WorkingDirectory, errno);
  }
  markAllCloseOnExec(descriptorBound);
  execve(executable, argv, envp);
  reportAndExit(reportFd, LaunchFailure::Execute, errno);
}

std::vector<char*> pointersOf(const std::vector<std::string>& strings)
{
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const std::string& text : strings) {
    pointers.push_back(const_cast<char*>(text.c_str()));
  }
  pointers.push_back(nullptr);
  return pointers;
}

} // namespace

bool makePipe(int& readEnd, int& writeEnd)
{
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  UniqueFd first(moveAboveStandard(fds[0]));
  UniqueFd second(moveAboveStandard(fds[1]));
  if (!first || !second) {
    return false;
  }
  readEnd = first.release();
  writeEnd = second.release();
  return true;
}

LaunchResult launchProcess(const std::string& executable, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment, const std::string& workingDirectory,
                           int outputFd, int errorFd, const LaunchIsolation& isolation)
{
  LaunchResult result;
  const ChildIsolation childIsolation{
      isolation.ownSession, isolation.parentDeathSignal, getpid(),
      isolation.cgroupProcsFile.empty() ? nullptr : isolation.cgroupProcsFile.c_str()};
  // Everything the child needs is prepared here: after fork it must not allocate.
  std::vector<char*> argv = pointersOf(arguments);
  std::vector<char*> envp = pointersOf(environment);
  const int descriptorBound = highestDescriptorBound();

  int reportRead = -1;
  int reportWrite = -1;
  if (!makePipe(reportRead, reportWrite)) {
    result.error = errno;
    return result;
  }
  UniqueFd reportReader(reportRead);
  UniqueFd reportWriter(reportWrite);

  pid_t pid = fork();
  if (pid < 0) {
    result.error = errno;
    return result;
  }
  if (pid == 0) {
    runChild(reportWrite, executable.c_str(), argv.data(), envp.data(), workingDirectory.c_str(), outputFd,
             errorFd, descriptorBound, childIsolation);
  }

  result.pid = pid;
  reportWriter.reset();
  // The pipe reaches end of file at a successful exec (close-on-exec) or carries a report.
  ChildReport report{LaunchFailure::None, 0};
  size_t received = 0;
  while (received < sizeof report) {
    ssize_t count =
        ::read(reportReader.get(), reinterpret_cast<char*>(&report) + received, sizeof report - received);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    received += static_cast<size_t>(count);
  }
  if (received == sizeof report) {
    result.failure = report.failure;
    result.error = report.error;
  }
  return result;
}
