#include "http/UpstreamPool.h"

#include <sys/epoll.h>

#include <algorithm>

UpstreamConnection* UpstreamPool::acquire(int port, bool fresh)
{
  std::vector<UpstreamConnection*>& kept = idle[port];
  if (!kept.empty() && !fresh) {
    UpstreamConnection* connection = kept.back();
    kept.pop_back();
    return connection;
  }
  auto created = std::make_unique<UpstreamConnection>(port);
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  event.data.ptr = static_cast<ProxyEventSource*>(created.get());
  if (!created->connect() || epoll_ctl(epoll, EPOLL_CTL_ADD, created->fd.get(), &event) != 0) {
    return nullptr;
  }
  UpstreamConnection* connection = created.get();
  connections.emplace(connection, std::move(created));
  return connection;
}

void UpstreamPool::release(UpstreamConnection& connection, bool reusable)
{
  connection.client = nullptr;
  std::vector<UpstreamConnection*>& kept = idle[connection.port];
  if (!reusable || connection.peerClosed || stopping || kept.size() >= maxIdlePerPort) {
    close(connection);
    return;
  }
  connection.reused = true;
  connection.readPaused = false;
  kept.push_back(&connection);
}

void UpstreamPool::close(UpstreamConnection& connection)
{
  if (connection.closed) {
    return;
  }
  connection.closed = true;
  auto kept = idle.find(connection.port);
  if (kept != idle.end()) {
    kept->second.erase(std::remove(kept->second.begin(), kept->second.end(), &connection),
                       kept->second.end());
    if (kept->second.empty()) {
      idle.erase(kept);
    }
  }
  connection.fd.reset();
  auto entry = connections.find(&connection);
  if (entry != connections.end()) {
    closed.push_back(std::move(entry->second));
    connections.erase(entry);
  }
}

void UpstreamPool::closeAll()
{
  stopping = true;
  std::vector<UpstreamConnection*> open;
  for (const auto& entry : connections) {
    open.push_back(entry.second.get());
  }
  for (UpstreamConnection* connection : open) {
    close(*connection);
  }
}

size_t UpstreamPool::idleCount(int port) const
{
  auto kept = idle.find(port);
  return kept == idle.end() ? 0 : kept->second.size();
}
