#include "http/UpstreamPool.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <sys/socket.h>

namespace {

// A package server on a loopback port, and the epoll set a loop would watch the pool's
// connections with.
struct Package {
  Package() : listener(TestSupport::listenOnLoopback(port)), epoll(epoll_create1(EPOLL_CLOEXEC)) {}

  // Waits for the next connection the pool made to be accepted and for the pool's side to
  // be connected.
  UniqueFd accept(UpstreamConnection& connection)
  {
    UniqueFd accepted(::accept(listener.get(), nullptr, nullptr));
    EXPECT_TRUE(accepted.valid());
    while (!connection.connected) {
      EXPECT_EQ(eventsFor(&connection) & EPOLLOUT, static_cast<uint32_t>(EPOLLOUT));
      EXPECT_TRUE(connection.connectFinished());
    }
    return accepted;
  }

  // The events of the next epoll wait that names `connection` (0 after a second without).
  uint32_t eventsFor(const UpstreamConnection* connection)
  {
    for (int i = 0; i < 10; ++i) {
      epoll_event events[8];
      const int count = epoll_wait(epoll.get(), events, 8, 100);
      for (int j = 0; j < count; ++j) {
        if (events[j].data.ptr == static_cast<const ProxyEventSource*>(connection)) {
          return events[j].events;
        }
      }
    }
    return 0;
  }

  uint16_t port = 0;
  UniqueFd listener;
  UniqueFd epoll;
};

} // namespace

TEST(UpstreamPoolTest, AReleasedConnectionCarriesTheNextRequestToItsPortUnlessAFreshOneIsAsked)
{
  Package package;
  UpstreamPool pool(package.epoll.get(), 4);
  UpstreamConnection* first = pool.acquire(package.port, false);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(first->reused);
  UniqueFd served = package.accept(*first);

  pool.release(*first, true);
  EXPECT_EQ(pool.idleCount(package.port), 1u);
  EXPECT_EQ(pool.acquire(package.port, false), first);
  EXPECT_TRUE(first->reused);
  EXPECT_EQ(pool.idleCount(package.port), 0u);

  // A retry after a kept connection failed must not be given another kept one.
  pool.release(*first, true);
  UpstreamConnection* fresh = pool.acquire(package.port, true);
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, first);
  EXPECT_FALSE(fresh->reused);
  EXPECT_EQ(pool.idleCount(package.port), 1u);

  // An answer that cannot be followed by another closes its connection.
  UniqueFd servedFresh = package.accept(*fresh);
  pool.release(*fresh, false);
  EXPECT_TRUE(fresh->closed);
  EXPECT_EQ(pool.idleCount(package.port), 1u);
}

TEST(UpstreamPoolTest, KeepsNoMoreIdleConnectionsPerPortThanItsLimit)
{
  Package package;
  Package other;
  UpstreamPool pool(package.epoll.get(), 2);
  std::vector<UpstreamConnection*> connections;
  for (int i = 0; i < 3; ++i) {
    connections.push_back(pool.acquire(package.port, true));
    ASSERT_NE(connections.back(), nullptr);
  }
  UpstreamConnection* elsewhere = pool.acquire(other.port, true);
  ASSERT_NE(elsewhere, nullptr);
  for (UpstreamConnection* connection : connections) {
    pool.release(*connection, true);
  }
  pool.release(*elsewhere, true);
  EXPECT_EQ(pool.idleCount(package.port), 2u);
  EXPECT_EQ(pool.idleCount(other.port), 1u);
  EXPECT_TRUE(connections[2]->closed);
  EXPECT_FALSE(connections[2]->fd.valid());

  // Closing an idle connection takes it out of the idle ones.
  pool.close(*connections[1]);
  EXPECT_EQ(pool.idleCount(package.port), 1u);
  EXPECT_EQ(pool.acquire(package.port, false), connections[0]);
  pool.closeAll();
  EXPECT_TRUE(connections[0]->closed);
  EXPECT_TRUE(elsewhere->closed);
  // Once stopping, nothing is kept.
  UpstreamConnection* late = pool.acquire(package.port, true);
  ASSERT_NE(late, nullptr);
  pool.release(*late, true);
  EXPECT_TRUE(late->closed);
  pool.freeClosed();
}

TEST(UpstreamPoolTest, AConnectionWhosePackageShutItsSideAfterTheAnswerIsNotKept)
{
  Package package;
  UpstreamPool pool(package.epoll.get(), 4);
  UpstreamConnection* connection = pool.acquire(package.port, false);
  ASSERT_NE(connection, nullptr);
  UniqueFd served = package.accept(*connection);
  // The package answers and closes at once: the end of its stream comes with the answer,
  // on the one edge that tells of both.
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  ASSERT_EQ(send(served.get(), answer.data(), answer.size(), 0), static_cast<ssize_t>(answer.size()));
  shutdown(served.get(), SHUT_WR);
  uint32_t events = 0;
  while ((events & EPOLLRDHUP) == 0) {
    const uint32_t next = package.eventsFor(connection);
    ASSERT_NE(next, 0u);
    events |= next;
  }
  connection->peerClosed = (events & (EPOLLRDHUP | EPOLLHUP)) != 0;
  pool.release(*connection, true);
  EXPECT_TRUE(connection->closed);
  UpstreamConnection* next = pool.acquire(package.port, false);
  ASSERT_NE(next, nullptr);
  EXPECT_FALSE(next->reused);
}
