#include "ws/WsServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

// libwebsockets 4.1 keeps 72 bytes of a context whose creation failed (the port taken);
// the leak checker of the sanitizer build is told so, for that library only.
extern "C" const char* __lsan_default_suppressions()
{
  return "leak:libwebsockets.so\n";
}

namespace {

// A listening socket on 127.0.0.1 at a port the kernel picks.
struct Listener {
  Listener()
  {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(fd, 1);
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~Listener() { close(fd); }

  int fd = -1;
  uint16_t port = 0;
};

bool accepts(uint16_t port)
{
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return connected;
}

} // namespace

TEST(WsServerTest, StartFailsWhenThePortIsTaken)
{
  Listener taken;
  ASSERT_NE(taken.port, 0);
  WsServer server;
  EXPECT_FALSE(server.start(taken.port));
}

TEST(WsServerTest, StartListensAndDestructionStopsListening)
{
  uint16_t port = 0;
  {
    Listener probe;
    port = probe.port;
  }
  {
    WsServer server;
    ASSERT_TRUE(server.start(port));
    EXPECT_TRUE(accepts(port));
  }
  EXPECT_FALSE(accepts(port));
}
