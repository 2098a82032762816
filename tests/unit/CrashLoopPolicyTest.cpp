#include "packages/CrashLoopPolicy.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::milliseconds;
using Step = CrashLoopPolicy::Step;

TEST(CrashLoopPolicyTest, FiveCrashesInARowBackOffDoublingToTheCapUntilAStableRunOrAReset)
{
  const CrashLoopTimings timings;
  CrashLoopPolicy policy(timings);
  const milliseconds crash = timings.shortRun - milliseconds(1);
  const milliseconds middling = timings.shortRun;

  for (unsigned i = 1; i < timings.crashesToLoop; ++i) {
    EXPECT_EQ(policy.runEnded(crash), Step::None);
  }
  // A run that lasted a while breaks the sequence outside a loop.
  EXPECT_EQ(policy.runEnded(middling), Step::None);
  EXPECT_EQ(policy.crashCount(), 0u);
  for (unsigned i = 1; i < timings.crashesToLoop; ++i) {
    policy.runEnded(crash);
  }
  EXPECT_FALSE(policy.inLoop());
  EXPECT_EQ(policy.delay(), milliseconds(0));

  EXPECT_EQ(policy.runEnded(crash), Step::Entered);
  EXPECT_EQ(policy.delay(), milliseconds(30000));
  std::vector<long> delays;
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(policy.runEnded(crash), Step::Continued);
    delays.push_back(static_cast<long>(policy.delay().count()));
  }
  EXPECT_EQ(delays, (std::vector<long>{60000, 120000, 240000, 480000, 600000, 600000}));
  // Inside a loop only a stable run ends it.
  EXPECT_EQ(policy.runEnded(timings.stableRun - milliseconds(1)), Step::Continued);
  EXPECT_EQ(policy.delay(), timings.maxDelay);
  EXPECT_EQ(policy.runEnded(timings.stableRun), Step::Left);
  EXPECT_FALSE(policy.inLoop());
  EXPECT_EQ(policy.delay(), milliseconds(0));

  for (unsigned i = 0; i < timings.crashesToLoop; ++i) {
    policy.runEnded(crash);
  }
  ASSERT_TRUE(policy.inLoop());
  policy.reset();
  EXPECT_FALSE(policy.inLoop());
  EXPECT_EQ(policy.delay(), milliseconds(0));
  EXPECT_EQ(policy.runEnded(crash), Step::None);
}

} // namespace
