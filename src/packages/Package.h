#pragma once

#include "packages/ChildProcess.h"
#include "packages/CrashLoopPolicy.h"
#include "packages/PackageLog.h"
#include "packages/PackageRuntime.h"
#include "packages/PackageStatus.h"
#include "packages/Supervisor.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "util/TokenBucket.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// One registered package and the processes that run it: run() forks Node.js on the
// package's main.js, in a session and process group of its own (and a cgroup of its own
// where the runtime has a cgroup base), and hands it to the package supervisor, which logs
// what it prints line by line (into the package's own ring of recent lines, and at a
// bounded rate into Orvane's log) and terminates the whole tree when the package is
// stopped (SIGTERM, then SIGKILL after 1.5 s). The main process is owned through one
// ChildProcess; its end is logged with its exit code or signal and counted by the
// package's crash-loop policy once nothing of its tree is left. A process that ends by
// itself is not restarted here; the controller runs the package again when startDue()
// allows.
class Package final : private Supervisor::Observer {
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
  // and which application runs the package; `supervisor` watches its process. Nothing is
  // started.
  Package(std::string name, int port, int publicPort, std::string path,
          std::shared_ptr<const PackageRuntime> runtime, std::shared_ptr<Supervisor> supervisor);
  // A package is stopped before it is dropped; should its process still be watched, it is
  // stopped here rather than left to a supervisor that outlives the observer.
  ~Package();

  Package(const Package&) = delete;
  Package& operator=(const Package&) = delete;

  // Stops a previous run, checks the manifest and the required application version, starts
  // the process and hands it to the supervisor. Logs and leaves the package stopped when a
  // check or the start fails.
  void run();

  // Terminates the process and waits until its end has been recorded. Returns at once when
  // no process is watched.
  void stop();

  // Sends `signal` to the process if it is running; never to any other process.
  void sendSignal(int signal);

  // True from the start of the process until its end has been recorded.
  bool isRunning() const { return running; }

  // The memory limit of the package's processes together, in MiB; none when empty. Held
  // from now on; V8's heap is sized by it at the next start.
  void setMemoryLimit(std::optional<uint32_t> limitMib);
  std::optional<uint32_t> memoryLimit() const;

  // A new version is on probation until `untilMs` (ms since the epoch; 0 ends it), with a
  // previous version kept to come back to when `rollbackAvailable`.
  void setProbation(int64_t untilMs, bool rollbackAvailable);
  // False until the first setProbation: whether a probation written down before a restart is
  // still to be taken up.
  bool probationKnown();
  // True while a new version is on probation; cheaper than status().
  bool onProbation();
  // The previous version came back: said in the status until the next install.
  void rolledBack(const PackageRollback& rollback);
  void clearRollback();

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

  // Says in Orvane's log how many of the package's lines were left out of it, once a period
  // has passed since the first of them. Called at every start tick.
  void reportOmittedOutput() { reportOmitted(std::chrono::steady_clock::now()); }

  // The public port when `isPublic`, else the private one; noPort when none was free.
  int getPort(bool isPublic) const { return isPublic ? publicPort : port; }

  const std::string& getPath() const { return path; }

private:
  void stopLocked();
  void launch();
  // Bookkeeping: a start that failed before a process ran, a process started.
  void cannotStart(const std::string& reason);
  void started(const std::shared_ptr<ChildProcess>& process);
  // What the supervisor reports about the process, on its thread.
  void outputLine(Supervisor::Pipe pipe, const std::string& line) override;
  void outputCut(Supervisor::Pipe pipe, size_t droppedBytes) override;
  void killing() override;
  uint64_t memoryLimitKib() const override;
  void memoryExceeded(uint64_t limitKib, uint64_t residentKib) override;
  void ended(const ExitStatus& exit, bool requested, bool killed) override;
  // A line the package printed, into Orvane's log unless the package has used up its rate;
  // supervisor thread only.
  void copyToLog(const std::string& line, LogLevel level);
  // Says how many lines were left out, once a period has passed since the first of them
  // (at once with `force`).
  void reportOmitted(std::chrono::steady_clock::time_point now, bool force = false);
  // A line about the package in Orvane's log at `level` and in the package's ring.
  void report(const std::string& text, LogLevel level);

  const std::string name;
  const int port;
  const int publicPort;
  const std::string path;
  const std::shared_ptr<const PackageRuntime> runtime;
  const std::shared_ptr<Supervisor> supervisor;
  std::atomic<bool> running{false};
  // Serialises run and stop, which come from the main loop and from HTTP threads.
  std::mutex runMutex;
  // The process handed to the supervisor, until it has been stopped; guarded by runMutex.
  std::optional<Supervisor::Id> watched;

  // Guards the supervision record below, read by status requests on HTTP threads. Never
  // held while waiting for a process or a thread.
  std::mutex stateMutex;
  std::shared_ptr<ChildProcess> child;
  std::chrono::steady_clock::time_point startedAt;
  std::chrono::steady_clock::time_point endedAt;
  int64_t startedAtMs = 0;
  unsigned starts = 0;
  std::optional<ExitStatus> lastExit;
  // "memory_limit" when Orvane ended the last run for its memory; empty otherwise.
  std::string lastExitCause;
  std::string cannotStartReason;
  // The cgroup of the running process; empty without one.
  std::string cgroup;
  // 0: no limit.
  std::atomic<uint32_t> memoryLimitMib{0};
  int64_t probationUntilMs = 0;
  bool probationSet = false;
  bool rollbackAvailable = true;
  std::optional<PackageRollback> lastRollback;
  // Set on the supervisor's thread when the running process went over its limit.
  bool memoryLimitExceeded = false;
  CrashLoopPolicy crashLoop;
  PackageLog lines{Limits::packageLogBytes};

  // Only the supervisor's thread touches the bucket; stateMutex guards the count.
  TokenBucket logCopies;
  uint64_t omittedLines = 0;
  std::chrono::steady_clock::time_point firstOmitted;
};
