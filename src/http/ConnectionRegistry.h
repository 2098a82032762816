#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

// The open connections of the HTTP API server, each either idle (before its first request or
// between requests) or busy with a request, against a fixed number of places. When every
// place is taken, the connection idle the longest makes room for a new one; when none is
// idle, the one whose request arrives the slowest. Thread-safe.
class ConnectionRegistry {
public:
  explicit ConnectionRegistry(size_t capacity);
  ConnectionRegistry(const ConnectionRegistry&) = delete;
  ConnectionRegistry& operator=(const ConnectionRegistry&) = delete;

  // Whether a connection about to be accepted may stay. Yes while places are free. When none
  // is, the connection idle the longest is shut down in both directions (its owner then
  // closes it) and gives up its place, and the answer is yes; with no idle connection, the
  // same for the busy connection whose request has arrived the slowest so far (among those
  // reported as `receiving` for at least a second); with neither the answer is no. Turned-away and shut-down
  // connections are logged once when the places run out, then as counts at most every few seconds and when
  // places are free again.
  bool admit();

  // `connection` was accepted on socket `fd` and is idle.
  void opened(const void* connection, int fd);
  // `connection` is about to be closed; its socket must stay open until this returns, so
  // that `admit` never shuts down a descriptor that was reused.
  void closed(const void* connection);
  // `connection` is busy from the start of a request to its end.
  void requestStarted(const void* connection);
  void requestEnded(const void* connection);
  // The request of busy `connection` is still arriving, `received` bytes of it so far. The
  // first report starts its clock; later ones need not come more than once a second.
  void receiving(const void* connection, uint64_t received);
  // The request of `connection` has arrived whole.
  void received(const void* connection);

private:
  struct Entry {
    int fd = -1;
    bool busy = false;
    // Shut down by `admit`, waiting for `closed`; holds no place.
    bool leaving = false;
    // Orders idle connections: the smallest has been idle the longest.
    uint64_t idleSince = 0;
    // Reported as receiving its request since `receivingSince`, `received` bytes so far.
    bool receiving = false;
    std::chrono::steady_clock::time_point receivingSince;
    uint64_t received = 0;
  };
  using Clock = std::chrono::steady_clock;

  // Makes room by shutting the longest idle connection down. False when none is idle.
  bool evictLongestIdle();
  // Makes room by shutting down the receiving connection with the fewest bytes per second.
  // False when none has been receiving for a second.
  bool evictSlowestReceiving();
  void evict(Entry& entry);
  void noteLimitReached(bool evicted);
  void noteLimitCleared();

  const size_t capacity;
  std::mutex mutex;
  std::unordered_map<const void*, Entry> entries;
  size_t holding = 0;
  uint64_t sequence = 0;

  bool limitReached = false;
  Clock::time_point lastReport;
  size_t evictedSinceReport = 0;
  size_t refusedSinceReport = 0;
};
