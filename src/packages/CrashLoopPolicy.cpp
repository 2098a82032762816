#include "packages/CrashLoopPolicy.h"

#include <algorithm>

CrashLoopPolicy::CrashLoopPolicy(CrashLoopTimings timings) : timings(timings) {}

CrashLoopPolicy::Step CrashLoopPolicy::runEnded(std::chrono::milliseconds duration)
{
  const bool wasInLoop = inLoop();
  if (duration >= timings.stableRun) {
    reset();
    return wasInLoop ? Step::Left : Step::None;
  }
  if (duration >= timings.shortRun) {
    if (!wasInLoop) {
      crashes = 0;
    }
    return wasInLoop ? Step::Continued : Step::None;
  }
  ++crashes;
  if (!inLoop()) {
    return Step::None;
  }
  if (!wasInLoop) {
    wait = timings.firstDelay;
    return Step::Entered;
  }
  // Doubled stepwise, so that no count of crashes can overflow it.
  wait = std::min(timings.maxDelay, std::max(wait * 2, timings.firstDelay));
  return Step::Continued;
}

void CrashLoopPolicy::reset()
{
  crashes = 0;
  wait = std::chrono::milliseconds(0);
}
