#include "http/ClientConnection.h"

#include "util/Limits.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstdio>
#include <string>

namespace {

// A client connection over a socket pair: the test writes as the client would.
struct Connected {
  Connected()
  {
    int fds[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    connection.fd.reset(fds[0]);
    peer.reset(fds[1]);
  }
  void write(const std::string& bytes) const
  {
    ASSERT_EQ(::send(peer.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // What is still queued for the connection to read.
  std::string queued() const
  {
    char buffer[4096];
    const ssize_t size = recv(connection.fd.get(), buffer, sizeof buffer, MSG_PEEK);
    return size > 0 ? std::string(buffer, static_cast<size_t>(size)) : "";
  }

  ClientConnection connection;
  UniqueFd peer;
};

const std::string nextRequest = "GET /proxy/p/next HTTP/1.1\r\nHost: x\r\n\r\n";

} // namespace

TEST(ClientConnectionTest, ALengthBodyInPiecesIsReadToItsEndAndThePipelinedRequestStaysQueued)
{
  Connected client;
  client.connection.bodyLeft = 10;
  client.write("hello");
  EXPECT_EQ(client.connection.readBody(), ClientConnection::BodyProgress::Waiting);
  EXPECT_EQ(client.connection.request.body, "hello");
  client.write("world" + nextRequest);
  EXPECT_EQ(client.connection.readBody(), ClientConnection::BodyProgress::Complete);
  EXPECT_EQ(client.connection.request.body, "helloworld");
  EXPECT_EQ(client.queued(), nextRequest);
}

TEST(ClientConnectionTest, AChunkedBodyInPiecesIsReadToItsLastChunkAndNoFurther)
{
  Connected client;
  client.connection.chunkedBody = true;
  client.write("5\r\nhel");
  EXPECT_EQ(client.connection.readBody(), ClientConnection::BodyProgress::Waiting);
  client.write("lo\r\n3;x=y\r\n!!!\r\n0\r\n");
  EXPECT_EQ(client.connection.readBody(), ClientConnection::BodyProgress::Waiting);
  client.write("\r\n" + nextRequest);
  EXPECT_EQ(client.connection.readBody(), ClientConnection::BodyProgress::Complete);
  EXPECT_EQ(client.connection.request.body, "hello!!!");
  EXPECT_EQ(client.queued(), nextRequest);
}

TEST(ClientConnectionTest, ABodyThatBreaksItsFramingGrowsTooLargeOrIsCutShortEndsTheRequest)
{
  Connected broken;
  broken.connection.chunkedBody = true;
  broken.write("5\r\nhelloXX\r\n");
  EXPECT_EQ(broken.connection.readBody(), ClientConnection::BodyProgress::BrokenFraming);

  Connected large;
  large.connection.chunkedBody = true;
  const std::string chunk(64 * 1024, 'x');
  char sizeLine[32];
  const std::string framed =
      std::string(sizeLine,
                  static_cast<size_t>(std::snprintf(sizeLine, sizeof sizeLine, "%zX\r\n", chunk.size()))) +
      chunk + "\r\n";
  ClientConnection::BodyProgress progress = ClientConnection::BodyProgress::Waiting;
  for (size_t sent = 0;
       sent <= Limits::maxRequestBodyBytes && progress == ClientConnection::BodyProgress::Waiting;
       sent += chunk.size()) {
    large.write(framed);
    progress = large.connection.readBody();
  }
  EXPECT_EQ(progress, ClientConnection::BodyProgress::TooLarge);

  Connected cut;
  cut.connection.bodyLeft = 10;
  cut.write("12345");
  cut.peer.reset();
  EXPECT_EQ(cut.connection.readBody(), ClientConnection::BodyProgress::Gone);
}

TEST(ClientConnectionTest, AnAnswerLargerThanTheSocketTakesGoesOutInPiecesWhole)
{
  Connected client;
  std::string answer(4 * 1024 * 1024, '\0');
  for (size_t i = 0; i < answer.size(); ++i) {
    answer[i] = static_cast<char>('A' + i % 23);
  }
  client.connection.output = answer;
  ASSERT_EQ(client.connection.send(), ClientConnection::Progress::Waiting);
  EXPECT_GT(client.connection.sent, 0u);
  std::string received;
  ClientConnection::Progress progress = ClientConnection::Progress::Waiting;
  while (received.size() < answer.size()) {
    char buffer[128 * 1024];
    const ssize_t size = recv(client.peer.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (size > 0) {
      received.append(buffer, static_cast<size_t>(size));
    }
    if (progress == ClientConnection::Progress::Waiting) {
      progress = client.connection.send();
    }
  }
  EXPECT_EQ(progress, ClientConnection::Progress::Done);
  EXPECT_EQ(client.connection.pending(), 0u);
  EXPECT_TRUE(client.connection.output.empty());
  EXPECT_TRUE(received == answer);

  // A client that is gone fails the send, without a SIGPIPE.
  client.peer.reset();
  client.connection.output = "HTTP/1.1 200 OK\r\n\r\n";
  EXPECT_EQ(client.connection.send(), ClientConnection::Progress::Failed);
}
