#pragma once

#include "packages/ChildProcess.h"
#include "packages/ProcessTree.h"
#include "util/Limits.h"
#include "util/UniqueFd.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Watches any number of child processes with one thread: it reads each one's standard
// output and standard error into lines, notices its end (collecting it through its
// ChildProcess) and carries out the termination a caller asks for (SIGTERM, then SIGKILL
// once the grace period has passed). A process given with its ProcessTree has ended only
// once every process of the tree has: what the main process leaves behind when it ends is
// terminated the same way, and a stop signals the whole tree. Adding a process adds no
// thread.
class Supervisor {
public:
  enum class Pipe { Out, Err };

  // What one watched process reports. Called on the supervisor's thread, one call at a
  // time for all processes, so a slow observer delays every other one; an observer must
  // not call stop() from here.
  class Observer {
  public:
    // A complete line (without its newline), at most maxLineLength bytes.
    virtual void outputLine(Pipe pipe, const std::string& line) = 0;
    // The rest of a line longer than maxLineLength was dropped: `droppedBytes` bytes.
    virtual void outputCut(Pipe pipe, size_t droppedBytes) = 0;
    // The grace period after SIGTERM has passed; SIGKILL is sent next.
    virtual void killing() = 0;
    // The memory limit in KiB that the process's tree is held to (0: none). Asked at every
    // sample; a changed limit counts from the next one (see refresh()).
    virtual uint64_t memoryLimitKib() const { return 0; }
    // The tree uses `residentKib` of memory, over the limit: it is being terminated, and
    // its end will not count as requested.
    virtual void memoryExceeded(uint64_t limitKib, uint64_t residentKib)
    {
      (void)limitKib;
      (void)residentKib;
    }
    // The last call for the process: it has ended and what it had written by then has been
    // reported. `requested` when stop() was asked before its end was seen, `killed` when
    // it took SIGKILL to end it (or what it left behind).
    virtual void ended(const ExitStatus& exit, bool requested, bool killed) = 0;

  protected:
    ~Observer() = default;
  };

  using Id = uint64_t;

  static constexpr std::chrono::milliseconds defaultGrace{1500};

  // Starts the thread. Of each process's output, at most `outputBytesPerSecond` is read a
  // second (its pipes wait for the rest). Throws std::system_error when its descriptors or
  // thread cannot be created.
  explicit Supervisor(size_t maxLineLength, std::chrono::milliseconds grace = defaultGrace,
                      size_t outputBytesPerSecond = Limits::packageOutputBytesPerSecond);
  // Ends the thread. Processes still watched are dropped unreported (their ChildProcess
  // kills and collects them when its last owner lets go).
  ~Supervisor();

  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  // Watches `process` and the read ends of its output pipes (an invalid one is not read)
  // until it has ended; `observer` must stay valid until its ended() has returned (stop()
  // waits for that). Text after a process's last newline is never reported. With `tree`, the
  // process's end is reported once the whole tree has ended.
  Id watch(std::shared_ptr<ChildProcess> process, UniqueFd out, UniqueFd err, Observer& observer,
           std::optional<ProcessTree> tree = std::nullopt);

  // Terminates the process watched as `id` and waits until its observer's ended() has
  // returned. Returns at once when it has already ended.
  void stop(Id id);

  std::chrono::milliseconds grace() const { return gracePeriod; }

  // Samples at once the memory of every process whose observer now asks for a limit.
  void refresh() { wake(); }

private:
  struct Watched;

  void run();
  // One wait for events and what follows from them.
  void round();
  void wake();
  void arrive(std::unique_ptr<Watched> watched);
  void readSome(Watched& watched, Pipe pipe);
  // Stops or resumes polling the process's pipes for its output budget.
  void pauseOutput(Watched& watched, bool paused);
  void requestStop(Watched& watched);
  void terminate(Watched& watched);
  // True once the process and all of its tree have ended; starts ending what is left of
  // the tree when the process has ended by itself.
  bool over(Watched& watched, std::chrono::steady_clock::time_point now);
  void sampleMemory(Watched& watched, std::chrono::steady_clock::time_point now);
  void finish(Watched& watched);
  int timeoutMs() const;

  const size_t maxLineLength;
  const std::chrono::milliseconds gracePeriod;
  const size_t outputBudget;
  UniqueFd poller;
  UniqueFd wakeFd;

  // Handed from callers to the thread, and the ids not ended yet.
  std::mutex mutex;
  std::condition_variable endedCondition;
  std::vector<std::unique_ptr<Watched>> arrivals;
  std::vector<Id> stopRequests;
  std::set<Id> live;
  Id nextId = 1;
  bool quitting = false;

  // Only the thread touches these.
  std::map<Id, std::unique_ptr<Watched>> watching;

  std::thread thread;
};
