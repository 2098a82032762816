#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The step at which a forked child gave up before its program ran.
enum class LaunchFailure { None, StandardOutput, StandardError, WorkingDirectory, Execute, Isolation };

// How a launched process is set apart from this one.
struct LaunchIsolation {
  // The process leads a session and a process group of its own (its id is the group's), so
  // that everything it starts can be signalled as one.
  bool ownSession = false;
  // Sent to the process when the thread that launched it ends (0: none). The launching
  // thread must therefore live as long as this process is meant to.
  int parentDeathSignal = 0;
  // A cgroup's "cgroup.procs" file that the process joins before it runs its program (empty:
  // it stays in this process's cgroup).
  std::string cgroupProcsFile;
};

struct LaunchResult {
  // The child's id; -1 when fork failed. When `failure` is not None the child has ended
  // (with status 1) and is still to be collected by the caller.
  pid_t pid = -1;
  LaunchFailure failure = LaunchFailure::None;
  // errno of the failed step.
  int error = 0;
};

// Forks and runs `executable` with exactly `arguments` and `environment` (nothing of this
// process's environment is passed on), standard output on `outputFd`, standard error on
// `errorFd`, `workingDirectory` as working directory and umask 022. Standard input is
// inherited; every other descriptor of this process is closed at exec. Between fork and exec the child makes
// async-signal-safe calls only and reports a failed step back over a close-on-exec pipe,
// so the result says whether the program started. `isolation` is applied before the
// working directory changes; a step of it that fails is reported as LaunchFailure::Isolation.
LaunchResult launchProcess(const std::string& executable, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment, const std::string& workingDirectory,
                           int outputFd, int errorFd, const LaunchIsolation& isolation = {});

// A pipe whose two ends are close-on-exec and numbered 3 or above (so that they never
// collide with the standard descriptors they may be moved onto). False when it cannot be
// created.
bool makePipe(int& readEnd, int& writeEnd);
