#pragma once

#include <chrono>
#include <cstdint>

// How fast a request body arrives, against the floor of Limits::minRequestBytesPerSecond:
// nothing is judged during the first Limits::requestRateGraceSeconds, then each window of
// Limits::requestRateWindowSeconds must have brought its share.
class ArrivalRate {
public:
  using Clock = std::chrono::steady_clock;

  // The body begins arriving at `start`.
  explicit ArrivalRate(Clock::time_point start = Clock::now());

  // `received` bytes have arrived in all by `now`. False when the window that ends now
  // brought fewer than the floor's share; true otherwise, also before a window is over.
  bool keepsUp(uint64_t received, Clock::time_point now = Clock::now());

private:
  Clock::time_point graceEnd;
  Clock::time_point windowStart;
  uint64_t windowBytes = 0;
};
