#pragma once

#include "packages/ChildProcess.h"
#include "packages/CrashLoopPolicy.h"
#include "packages/PackageLog.h"
#include "packages/PackageRuntime.h"
#include "packages/PackageStatus.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "util/UniqueFd.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// One registered package and the process that runs it: a monitor thread forks Node.js on
// the package's main.js, logs what it prints line by line (into Orvane's log and the
// package's own ring of recent lines) and terminates it when asked to stop (SIGTERM, then
// SIGKILL after 1.5 s). The process is owned through one ChildProcess; its end is logged
// with its exit code or signal and counted by the package's crash-loop policy. A process
// that ends by itself is not restarted here; the controller runs the package again when
// startDue() allows.
class Package {
public:
  // The port value of a package for which no port of the range was free. Package::getPort
  // gives it to the proxy, which answers that the package has no port; the process
  // receives "0" in its environment instead (a server listening there gets an ephemeral
  // port that nothing forwards to).
  static constexpr int noPort = -1;

  // The longest output line logged as it is; the rest of a longer line is dropped and its
  // length logged.
  static constexpr size_t maxLineLength = 4096;

  // `path` is the package directory, without a final "/"; `runtime` says where Node.js is
  // and which application runs the package. Nothing is started.
  Package(std::string name, int port, int publicPort, std::string path,
          std::shared_ptr<const PackageRuntime> runtime);
  // A package is stopped before it is dropped; should a monitor thread still exist, it is
  // stopped here rather than left unjoined.
  ~Package();

  Package(const Package&) = delete;
  Package& operator=(const Package&) = delete;

  // Stops a previous run, checks the manifest and the required application version and
  // starts the monitor thread. Logs and leaves the package stopped when a check fails.
  void run();

  // Asks the monitor thread to end and waits for it, including the termination of the
  // process. Returns at once when no thread exists.
  void stop();

  // Sends `signal` to the process if it is running; never to any other process.
  void sendSignal(int signal);

  // True from the start of the process until its end has been recorded.
  bool isRunning() const { return running; }

  // Replaces the crash-loop timings and forgets the crashes counted so far.
  void setCrashLoopTimings(const CrashLoopTimings& timings);

  // False while a crash loop makes the next start wait; true otherwise.
  bool startDue();

  // Forgets the crashes counted so far, so that the next start is not held back. With
  // `installed`, the restarts and the last exit are forgotten too, as for a new package.
  void resetCrashLoop(bool installed = false);

  // What the package is doing now.
  PackageStatus status();

  // The package's recent lines.
  PackageLog& log() { return lines; }

  std::string getName() const { return name; }

  // The public port when `isPublic`, else the private one; noPort when none was free.
  int getPort(bool isPublic) const { return isPublic ? publicPort : port; }

  const std::string& getPath() const { return path; }

  // The monitor thread's body; runs until a stop is requested or the process has ended.
  static void monitor(Package* package);

private:
  void stopLocked();
  // Bookkeeping of the monitor thread: a start that failed before a process ran, a
  // process started, a process ended (`requested` when Orvane stopped it).
  void cannotStart(const std::string& reason);
  void started(const std::shared_ptr<ChildProcess>& process);
  void ended(const ExitStatus& exit, bool requested);
  // A line about the package in Orvane's log at `level` and in the package's ring.
  void report(const std::string& text, LogLevel level);

  const std::string name;
  const int port;
  const int publicPort;
  const std::string path;
  const std::shared_ptr<const PackageRuntime> runtime;
  std::atomic<bool> stopRequested{false};
  std::thread monitorThread;
  std::atomic<bool> running{false};
  // Serialises run and stop, which come from the main loop and from HTTP threads.
  std::mutex runMutex;
  // Wakes the monitor thread when a stop is requested.
  UniqueFd wakeFd;

  // Guards the supervision record below, read by status requests on HTTP threads. Never
  // held while waiting for a process or a thread.
  std::mutex stateMutex;
  std::shared_ptr<ChildProcess> child;
  std::chrono::steady_clock::time_point startedAt;
  std::chrono::steady_clock::time_point endedAt;
  int64_t startedAtMs = 0;
  unsigned starts = 0;
  std::optional<ExitStatus> lastExit;
  std::string cannotStartReason;
  CrashLoopPolicy crashLoop;
  PackageLog lines{Limits::packageLogBytes};
};
