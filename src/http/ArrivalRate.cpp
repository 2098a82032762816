#include "http/ArrivalRate.h"

#include "util/Limits.h"

ArrivalRate::ArrivalRate(Clock::time_point start)
    : graceEnd(start + std::chrono::seconds(Limits::requestRateGraceSeconds)), windowStart(start)
{
}

bool ArrivalRate::keepsUp(uint64_t received, Clock::time_point now)
{
  const auto window = std::chrono::seconds(Limits::requestRateWindowSeconds);
  if (now < graceEnd || now - windowStart < window) {
    return true;
  }
  // The window is measured as it was, not as it was meant to be: a check that comes late
  // asks for the share of the time that actually passed.
  const double seconds = std::chrono::duration<double>(now - windowStart).count();
  if (static_cast<double>(received - windowBytes) < Limits::minRequestBytesPerSecond * seconds) {
    return false;
  }
  windowStart = now;
  windowBytes = received;
  return true;
}
