#include "ws/WsServer.h"

#include "TestSupport.h"
#include "util/SystemUtils.h"

// libwebsockets 4.1 keeps 72 bytes of a context whose creation failed (the port taken);
// the leak checker of the sanitizer build is told so, for that library only.
extern "C" const char* __lsan_default_suppressions()
{
  return "leak:libwebsockets.so\n";
}

TEST(WsServerTest, StartFailsWhenThePortIsTaken)
{
  uint16_t port = 0;
  UniqueFd taken = TestSupport::listenOnLoopback(port);
  ASSERT_TRUE(taken);
  WsServer server;
  EXPECT_FALSE(server.start(port));
}

TEST(WsServerTest, StartListensAndDestructionStopsListening)
{
  uint16_t port = 0;
  TestSupport::listenOnLoopback(port);
  {
    WsServer server;
    ASSERT_TRUE(server.start(port));
    EXPECT_FALSE(SystemUtils::isPortFree(port));
  }
  EXPECT_TRUE(SystemUtils::isPortFree(port));
}
