#include "http/ConnectionRegistry.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

// A connection as the registry sees it: our end of a socket pair; the peer end tells whether
// the registry shut it down.
struct Pair {
  Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0); }
  ~Pair()
  {
    close(fds[0]);
    close(fds[1]);
  }
  int ours() const { return fds[0]; }
  bool shutDown() const
  {
    char byte = 0;
    return recv(fds[1], &byte, 1, 0) == 0;
  }
  int fds[2] = {-1, -1};
};

} // namespace

TEST(ConnectionRegistryTest, AtTheCapTheLongestIdleMakesRoomThenTheSlowestReceiving)
{
  ConnectionRegistry registry(3);
  Pair idleOld;
  Pair idleNew;
  Pair busy;
  for (const Pair* pair : {&idleOld, &idleNew, &busy}) {
    ASSERT_TRUE(registry.admit());
    registry.opened(pair, pair->ours());
  }
  registry.requestStarted(&busy);
  EXPECT_TRUE(registry.admit());
  EXPECT_TRUE(idleOld.shutDown());
  EXPECT_FALSE(idleNew.shutDown());
  registry.closed(&idleOld);

  Pair slow;
  registry.opened(&slow, slow.ours());
  registry.requestStarted(&slow);
  registry.requestStarted(&idleNew);
  // Busy everywhere, and no request reported as arriving: nobody makes room.
  EXPECT_FALSE(registry.admit());
  registry.receiving(&slow, 3);
  registry.receiving(&busy, 1000000);
  registry.receiving(&idleNew, 5);
  registry.received(&idleNew);
  // A rate needs a second to mean anything.
  EXPECT_FALSE(registry.admit());
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_TRUE(registry.admit());
  EXPECT_TRUE(slow.shutDown());
  EXPECT_FALSE(busy.shutDown());
  EXPECT_FALSE(idleNew.shutDown());
  // The one shut down gave its place to a new one; an ended request makes its connection idle.
  Pair fresh;
  registry.opened(&fresh, fresh.ours());
  registry.requestStarted(&fresh);
  registry.requestEnded(&busy);
  EXPECT_TRUE(registry.admit());
  EXPECT_TRUE(busy.shutDown());
}
