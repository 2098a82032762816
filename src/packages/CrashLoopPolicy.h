#pragma once

#include <chrono>

// When a package whose process keeps ending soon after its start is started again.
struct CrashLoopTimings {
  // A run shorter than this counts as a crash.
  std::chrono::milliseconds shortRun{10000};
  // This many crashes in a row make a crash loop.
  unsigned crashesToLoop = 5;
  // The wait before the first start in a crash loop; each further crash doubles it, up to
  // maxDelay.
  std::chrono::milliseconds firstDelay{30000};
  std::chrono::milliseconds maxDelay{600000};
  // A run at least this long ends a crash loop and clears the count.
  std::chrono::milliseconds stableRun{60000};
};

// Counts the crashes of one package and says how long its next start waits. Pure: the
// caller tells it how long each run lasted.
//
// A crash adds one to the count; at `crashesToLoop` the package is in a crash loop and
// waits `firstDelay` before each start, doubled with every further crash. A run of at
// least `stableRun` clears everything. A run in between breaks a sequence of crashes
// outside a loop, but inside one it keeps the wait as it is: a loop ends only with a
// stable run or a reset.
class CrashLoopPolicy {
public:
  // What a recorded run changed.
  enum class Step { None, Entered, Continued, Left };

  explicit CrashLoopPolicy(CrashLoopTimings timings = {});

  // Records a run of `duration` that ended without being asked to.
  Step runEnded(std::chrono::milliseconds duration);

  // Forgets the crashes: the package is started at the next chance.
  void reset();

  bool inLoop() const { return crashes >= timings.crashesToLoop; }

  // Crashes in a row so far.
  unsigned crashCount() const { return crashes; }

  // How long after the last recorded end the next start waits; zero outside a loop.
  std::chrono::milliseconds delay() const { return wait; }

  const CrashLoopTimings& settings() const { return timings; }

private:
  CrashLoopTimings timings;
  unsigned crashes = 0;
  std::chrono::milliseconds wait{0};
};
