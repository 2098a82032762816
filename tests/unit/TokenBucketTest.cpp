#include "util/TokenBucket.h"

#include <gtest/gtest.h>

TEST(TokenBucketTest, AdmitsABurstThenTheSteadyRateAndNeverSavesMoreThanTheBurst)
{
  const auto start = TokenBucket::Clock::time_point() + std::chrono::hours(1);
  TokenBucket bucket(50, 500, start);
  int admitted = 0;
  for (int i = 0; i < 1000; ++i) {
    admitted += bucket.take(start) ? 1 : 0;
  }
  EXPECT_EQ(admitted, 500);
  // Two seconds later: 100 more, not a token more.
  admitted = 0;
  for (int i = 0; i < 1000; ++i) {
    admitted += bucket.take(start + std::chrono::seconds(2)) ? 1 : 0;
  }
  EXPECT_EQ(admitted, 100);
  // An hour of silence refills to the burst, no further.
  admitted = 0;
  for (int i = 0; i < 1000; ++i) {
    admitted += bucket.take(start + std::chrono::hours(2)) ? 1 : 0;
  }
  EXPECT_EQ(admitted, 500);
  // A clock read out of order takes nothing back.
  EXPECT_FALSE(bucket.take(start));
}
