#include "http/ArrivalRate.h"
#include "util/Limits.h"

#include <gtest/gtest.h>

namespace {

using Clock = ArrivalRate::Clock;
constexpr uint64_t floorPerWindow =
    uint64_t{Limits::minRequestBytesPerSecond} * Limits::requestRateWindowSeconds;

Clock::time_point at(Clock::time_point start, unsigned seconds)
{
  return start + std::chrono::seconds(seconds);
}

} // namespace

TEST(ArrivalRateTest, JudgesEachWholeWindowOnlyAfterTheGrace)
{
  const Clock::time_point start = Clock::now();
  ArrivalRate trickle(start);
  // Nothing at all is fine until both the grace and a window have passed.
  EXPECT_TRUE(trickle.keepsUp(0, at(start, 1)));
  EXPECT_TRUE(trickle.keepsUp(3, at(start, Limits::requestRateGraceSeconds - 1)));
  EXPECT_FALSE(
      trickle.keepsUp(3, at(start, Limits::requestRateGraceSeconds + Limits::requestRateWindowSeconds)));

  ArrivalRate steady(start);
  const unsigned window = Limits::requestRateWindowSeconds;
  const unsigned first = std::max(Limits::requestRateGraceSeconds, window);
  EXPECT_TRUE(steady.keepsUp(floorPerWindow * first / window, at(start, first)));
  // Each window needs its own share: what came earlier does not carry over.
  EXPECT_TRUE(steady.keepsUp(floorPerWindow * first / window + floorPerWindow, at(start, first + window)));
  EXPECT_FALSE(steady.keepsUp(floorPerWindow * first / window + floorPerWindow + floorPerWindow - 1,
                              at(start, first + 2 * window)));
}

TEST(ArrivalRateTest, ALateCheckAsksForTheShareOfTheTimeThatPassed)
{
  const Clock::time_point start = Clock::now();
  const unsigned late = std::max(Limits::requestRateGraceSeconds, Limits::requestRateWindowSeconds) * 3;
  ArrivalRate behind(start);
  EXPECT_FALSE(behind.keepsUp(floorPerWindow * 2, at(start, late)));
  ArrivalRate enough(start);
  EXPECT_TRUE(enough.keepsUp(uint64_t{Limits::minRequestBytesPerSecond} * late, at(start, late)));
}
