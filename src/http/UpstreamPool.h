#pragma once

#include "http/UpstreamConnection.h"

#include <cstddef>
#include <memory>
#include <unordered_map>
#include <vector>

// The connections of one proxy loop to package servers: it owns them all, keeps those that
// may carry another request, at most `maxIdlePerPort` for each package port, and registers
// new ones with the loop's epoll set (edge-triggered, tagged with the connection).
//
// A closed connection is freed only by freeClosed, after the events at hand: a later event of
// the same batch may still name it.
class UpstreamPool {
public:
  UpstreamPool(int epoll, size_t maxIdlePerPort) : epoll(epoll), maxIdlePerPort(maxIdlePerPort) {}
  UpstreamPool(const UpstreamPool&) = delete;
  UpstreamPool& operator=(const UpstreamPool&) = delete;

  // The idle connection to `port` used last, or (always when `fresh`) a new one being made;
  // null when a new one cannot be made.
  UpstreamConnection* acquire(int port, bool fresh);

  // Takes back `connection` after an answer: kept idle for the next request to its port when
  // `reusable`, its peer did not shut its side, there is room and the pool is not stopping;
  // closed otherwise.
  void release(UpstreamConnection& connection, bool reusable);

  // Closes `connection` (idle or not) once; it is freed by freeClosed.
  void close(UpstreamConnection& connection);

  // Closes every connection, and keeps none from here on.
  void closeAll();

  void freeClosed() { closed.clear(); }

  size_t idleCount(int port) const;

private:
  const int epoll;
  const size_t maxIdlePerPort;
  bool stopping = false;
  std::unordered_map<const UpstreamConnection*, std::unique_ptr<UpstreamConnection>> connections;
  // Idle connections by the package port they lead to, the most recently used last.
  std::unordered_map<int, std::vector<UpstreamConnection*>> idle;
  std::vector<std::unique_ptr<UpstreamConnection>> closed;
};
