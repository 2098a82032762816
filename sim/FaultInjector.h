#pragma once

#include <mutex>
#include <optional>

// Makes the next `count` VAPIX requests answer `status` instead of being served.
class FaultInjector {
public:
  void arm(unsigned status, unsigned count)
  {
    std::lock_guard<std::mutex> lock(mutex);
    failStatus = status;
    remaining = count;
  }

  // The status the current request must answer with, counting it; nothing when no
  // failure is pending.
  std::optional<unsigned> take()
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (remaining == 0) {
      return std::nullopt;
    }
    --remaining;
    return failStatus;
  }

private:
  std::mutex mutex;
  unsigned failStatus = 0;
  unsigned remaining = 0;
};
