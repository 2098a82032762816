#pragma once

#include <chrono>
#include <cstdint>

// Admits events at a steady rate with room for bursts: it holds up to `burst` tokens,
// gains `perSecond` of them a second, and each admitted event takes one. Not thread-safe:
// each bucket belongs to one caller.
class TokenBucket {
public:
  using Clock = std::chrono::steady_clock;

  TokenBucket(double perSecond, double burst, Clock::time_point now = Clock::now())
      : rate(perSecond), capacity(burst), tokens(burst), last(now)
  {
  }

  // True, taking a token, when one is there at `now`.
  bool take(Clock::time_point now = Clock::now())
  {
    if (now > last) {
      const double seconds = std::chrono::duration<double>(now - last).count();
      tokens = tokens + seconds * rate < capacity ? tokens + seconds * rate : capacity;
      last = now;
    }
    if (tokens < 1.0) {
      return false;
    }
    tokens -= 1.0;
    return true;
  }

private:
  const double rate;
  const double capacity;
  double tokens;
  Clock::time_point last;
};
