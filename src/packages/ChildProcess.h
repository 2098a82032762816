#pragma once

#include "util/UniqueFd.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

// How a child process ended.
struct ExitStatus {
  // True when a signal ended it; `signal` is then that signal, else `code` its exit code.
  bool signaled = false;
  int code = 0;
  int signal = 0;
  std::chrono::system_clock::time_point at;

  // "with code 3" or "by signal SIGSEGV".
  std::string describe() const;
};

// The usual name of `signal` ("SIGSEGV"), or "SIG" followed by its number when it has none.
std::string signalName(int signal);

// What a running process has used so far.
struct ProcessUsage {
  uint64_t rssKib = 0;
  uint64_t cpuMs = 0;
};

// The one owner of one child process. It is collected exactly once, here, whichever thread
// asks first; its exit status and time are kept. Signals go through a process descriptor,
// or, where the kernel has none, are sent only while the child is known to be uncollected,
// so that neither can ever reach a process that was later given the same id. All
// operations may be called from any thread.
class ChildProcess {
public:
  // Takes over `pid`, a child of this process that nothing has waited for.
  explicit ChildProcess(pid_t pid);
  // A child still there is killed and collected: it is never left behind as a zombie.
  ~ChildProcess();

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return id; }

  // A descriptor that polls readable once the child has ended; -1 when the kernel offers
  // none (callers then poll reap() on a timer).
  int descriptor() const { return fd.get(); }

  // Collects the child if it has ended, without blocking. True once it has ended.
  bool reap();

  // Waits up to `timeout` for the child to end and collects it. True once it has ended.
  bool waitFor(std::chrono::milliseconds timeout);

  // Waits, as long as it takes, for the child to end and collects it.
  void wait();

  // How the child ended; empty while it has not been collected.
  std::optional<ExitStatus> exitStatus() const;

  // Sends `signal` to the child. False, and nothing sent, once it has been collected.
  bool signal(int signal);

  // Memory and CPU time of the child from /proc, read while its id still names it; empty
  // once it has been collected or when /proc cannot be read.
  std::optional<ProcessUsage> usage() const;

private:
  bool reapLocked();
  static std::optional<ProcessUsage> readUsage(pid_t id);

  const pid_t id;
  UniqueFd fd;
  mutable std::mutex mutex;
  std::optional<ExitStatus> status;
};
