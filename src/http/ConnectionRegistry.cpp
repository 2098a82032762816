#include "http/ConnectionRegistry.h"

#include "util/Logger.h"

#include <sys/socket.h>

#include <string>

namespace {

// A flood of connections is reported as counts at this pace, not one line per connection.
constexpr std::chrono::seconds reportInterval(10);

std::string counts(size_t evicted, size_t refused)
{
  return std::to_string(evicted) + " connections closed, " + std::to_string(refused) + " refused";
}

} // namespace

ConnectionRegistry::ConnectionRegistry(size_t capacity) : capacity(capacity) {}

bool ConnectionRegistry::admit()
{
  std::lock_guard<std::mutex> lock(mutex);
  if (holding < capacity) {
    noteLimitCleared();
    return true;
  }
  const bool evicted = evictLongestIdle() || evictSlowestReceiving();
  noteLimitReached(evicted);
  return evicted;
}

bool ConnectionRegistry::evictSlowestReceiving()
{
  // A request reported less than a second ago has no rate to speak of yet.
  const Clock::time_point measuredBefore = Clock::now() - std::chrono::seconds(1);
  Entry* slowest = nullptr;
  double slowestRate = 0;
  for (auto& entry : entries) {
    Entry& candidate = entry.second;
    if (!candidate.busy || !candidate.receiving || candidate.leaving ||
        candidate.receivingSince > measuredBefore) {
      continue;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - candidate.receivingSince).count();
    const double rate = static_cast<double>(candidate.received) / seconds;
    if (slowest == nullptr || rate < slowestRate) {
      slowest = &candidate;
      slowestRate = rate;
    }
  }
  if (slowest == nullptr) {
    return false;
  }
  evict(*slowest);
  return true;
}

bool ConnectionRegistry::evictLongestIdle()
{
  Entry* longest = nullptr;
  for (auto& entry : entries) {
    Entry& candidate = entry.second;
    if (!candidate.busy && !candidate.leaving &&
        (longest == nullptr || candidate.idleSince < longest->idleSince)) {
      longest = &candidate;
    }
  }
  if (longest == nullptr) {
    return false;
  }
  evict(*longest);
  return true;
}

void ConnectionRegistry::evict(Entry& entry)
{
  // The mutex is held, and `closed` takes it before the descriptor is closed (the library
  // notifies the close before closing, on the event thread that owns the connection), so this
  // is still the connection's own socket. That thread sees the end of the stream and closes it.
  shutdown(entry.fd, SHUT_RDWR);
  entry.leaving = true;
  --holding;
}

void ConnectionRegistry::noteLimitReached(bool evicted)
{
  ++(evicted ? evictedSinceReport : refusedSinceReport);
  const Clock::time_point now = Clock::now();
  if (!limitReached) {
    limitReached = true;
    lastReport = now;
    Logger::log("HttpServer: all " + std::to_string(capacity) +
                    " connection places are taken; the longest idle connection makes room for a new one, "
                    "else the one whose request arrives the slowest, and a new one is refused when there is "
                    "neither",
                LogLevel::Warning);
  } else if (now - lastReport >= reportInterval) {
    lastReport = now;
    Logger::log("HttpServer: connection places still all taken: " +
                    counts(evictedSinceReport, refusedSinceReport) + " since the last report",
                LogLevel::Warning);
  } else {
    return;
  }
  evictedSinceReport = 0;
  refusedSinceReport = 0;
}

void ConnectionRegistry::noteLimitCleared()
{
  if (!limitReached) {
    return;
  }
  limitReached = false;
  Logger::log("HttpServer: connection places free again: " + counts(evictedSinceReport, refusedSinceReport) +
                  " since the last report",
              LogLevel::Info);
  evictedSinceReport = 0;
  refusedSinceReport = 0;
}

void ConnectionRegistry::opened(const void* connection, int fd)
{
  std::lock_guard<std::mutex> lock(mutex);
  if (entries.insert_or_assign(connection, Entry{fd, false, false, ++sequence, false, {}, 0}).second) {
    ++holding;
  }
}

void ConnectionRegistry::closed(const void* connection)
{
  std::lock_guard<std::mutex> lock(mutex);
  const auto found = entries.find(connection);
  if (found == entries.end()) {
    return;
  }
  if (!found->second.leaving) {
    --holding;
  }
  entries.erase(found);
}

void ConnectionRegistry::requestStarted(const void* connection)
{
  std::lock_guard<std::mutex> lock(mutex);
  const auto found = entries.find(connection);
  if (found != entries.end()) {
    found->second.busy = true;
  }
}

void ConnectionRegistry::requestEnded(const void* connection)
{
  std::lock_guard<std::mutex> lock(mutex);
  const auto found = entries.find(connection);
  if (found != entries.end()) {
    found->second.busy = false;
    found->second.receiving = false;
    found->second.idleSince = ++sequence;
  }
}

void ConnectionRegistry::receiving(const void* connection, uint64_t received)
{
  std::lock_guard<std::mutex> lock(mutex);
  const auto found = entries.find(connection);
  if (found == entries.end()) {
    return;
  }
  Entry& entry = found->second;
  if (!entry.receiving) {
    entry.receiving = true;
    entry.receivingSince = Clock::now();
  }
  entry.received = received;
}

void ConnectionRegistry::received(const void* connection)
{
  std::lock_guard<std::mutex> lock(mutex);
  const auto found = entries.find(connection);
  if (found != entries.end()) {
    found->second.receiving = false;
  }
}
