#include "http/UpstreamConnection.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

namespace {

bool waitWritable(int fd)
{
  pollfd watched{fd, POLLOUT, 0};
  return poll(&watched, 1, 2000) == 1;
}

} // namespace

TEST(UpstreamConnectionTest, SendsALargeRequestInPiecesAsThePackageReadsIt)
{
  uint16_t port = 0;
  UniqueFd listener = TestSupport::listenOnLoopback(port);
  UpstreamConnection connection(port);
  ASSERT_TRUE(connection.connect());
  UniqueFd served(accept(listener.get(), nullptr, nullptr));
  ASSERT_TRUE(served.valid());
  ASSERT_TRUE(waitWritable(connection.fd.get()));
  ASSERT_TRUE(connection.connected || connection.connectFinished());

  std::string text(8 * 1024 * 1024, '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char>('a' + i % 26);
  }
  // More than the socket buffers hold: the first call must stop part-way.
  ASSERT_EQ(connection.send(text), UpstreamConnection::Progress::Waiting);
  EXPECT_GT(connection.sent, 0u);
  EXPECT_LT(connection.sent, text.size());
  std::string received;
  UpstreamConnection::Progress progress = UpstreamConnection::Progress::Waiting;
  while (received.size() < text.size()) {
    char buffer[256 * 1024];
    const ssize_t size = recv(served.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (size > 0) {
      received.append(buffer, static_cast<size_t>(size));
    } else {
      ASSERT_NE(size, 0);
    }
    if (progress != UpstreamConnection::Progress::Done) {
      progress = connection.send(text);
      ASSERT_NE(progress, UpstreamConnection::Progress::Failed);
    }
  }
  EXPECT_EQ(progress, UpstreamConnection::Progress::Done);
  EXPECT_EQ(connection.sent, text.size());
  EXPECT_TRUE(received == text);
}

TEST(UpstreamConnectionTest, APackageThatIsGoneFailsTheConnectionOrTheSend)
{
  uint16_t port = 0;
  UniqueFd listener = TestSupport::listenOnLoopback(port);
  UpstreamConnection connection(port);
  ASSERT_TRUE(connection.connect());
  UniqueFd served(accept(listener.get(), nullptr, nullptr));
  ASSERT_TRUE(waitWritable(connection.fd.get()));
  ASSERT_TRUE(connection.connected || connection.connectFinished());
  // Closed with a reset: the next send finds the peer gone, without a SIGPIPE.
  const linger reset{1, 0};
  setsockopt(served.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  served.reset();
  UpstreamConnection::Progress progress = UpstreamConnection::Progress::Done;
  for (int i = 0; i < 3 && progress != UpstreamConnection::Progress::Failed; ++i) {
    connection.sent = 0;
    progress = connection.send("GET / HTTP/1.1\r\n\r\n");
  }
  EXPECT_EQ(progress, UpstreamConnection::Progress::Failed);

  // Nobody listens any more: the connection is refused, at once or on its first edge.
  listener.reset();
  UpstreamConnection refused(port);
  if (refused.connect()) {
    ASSERT_TRUE(waitWritable(refused.fd.get()));
    EXPECT_FALSE(refused.connectFinished());
  }
  EXPECT_FALSE(refused.connected);
}
