#include "http/ProxyTransfer.h"

#include "http/ChunkedDecoder.h"
#include "http/ClientConnection.h"
#include "http/RedirectFollower.h"
#include "http/UpstreamPool.h"
#include "util/Limits.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <optional>

namespace {

// The loop a transfer runs on, reduced to what a transfer asks of it, with the client at the
// far end of a socket pair and the package's server a loopback listener served by the test.
class Loop : public ProxyTransfer::Host {
public:
  Loop() : epoll(epoll_create1(EPOLL_CLOEXEC)), pool(epoll.get(), 4), follower(epoll.get())
  {
    EXPECT_TRUE(follower.start());
    int fds[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    client.fd.reset(fds[0]);
    clientPeer.reset(fds[1]);
    packageListener = TestSupport::listenOnLoopback(port);
  }

  UpstreamPool& upstreams() override { return pool; }
  RedirectFollower& redirects() override { return follower; }
  void touch(ClientConnection&) override { ++touches; }
  void finished(ClientConnection& ended, CURLcode code, HttpClient::Response* whole) override
  {
    result = code;
    if (whole != nullptr) {
      answer = *whole;
    }
    ended.transfer.reset();
  }
  void close(ClientConnection& ended) override
  {
    closed = true;
    ended.transfer.reset();
  }

  // Starts forwarding `method` with `body` to the package.
  void forward(const std::string& method, const std::string& body)
  {
    result.reset();
    client.request = RequestData();
    client.request.method = method;
    client.request.body = body;
    client.transfer = std::make_unique<ProxyTransfer>(*this, client);
    client.transfer->port = port;
    client.transfer->target = "/echo?a=1&a=2";
    client.transfer->fields = {{"X-Trace", "7"}, {"Connection", "x-hop"}, {"X-Hop", "1"}, {"Cookie", "s=1"}};
    client.transfer->connectionTokens = {"x-hop"};
    client.transfer->start();
  }

  // Hands the events of the package connections to the transfer, and those of libcurl's
  // sockets and timer to the follower, as the loop does, waiting up to 10 ms for them.
  void pump()
  {
    epoll_event events[8];
    const int count = epoll_wait(epoll.get(), events, 8,
                                 static_cast<int>(follower.wait(std::chrono::milliseconds(10)).count()));
    for (int j = 0; j < count; ++j) {
      if ((events[j].data.u64 & RedirectFollower::socketTag) != 0) {
        follower.onSocketEvent(events[j].data.u64, events[j].events);
        continue;
      }
      auto* link = static_cast<UpstreamConnection*>(static_cast<ProxyEventSource*>(events[j].data.ptr));
      if (!link->closed && link->client != nullptr) {
        link->client->transfer->onUpstreamEvent(*link, events[j].events);
      }
    }
    follower.onTimer();
    follower.collectDone([](ClientConnection& client, CURLcode code) {
      if (client.transfer) {
        client.transfer->curlDone(code);
      }
    });
  }

  // Pumps until the transfer has ended, or two seconds pass.
  void runToEnd()
  {
    for (int i = 0; i < 200 && !result.has_value(); ++i) {
      pump();
    }
  }

  // Accepts the next connection to the package and reads one request from it: the head and
  // as much body as it announces.
  std::string acceptRequest(UniqueFd& served)
  {
    pollfd waiting{packageListener.get(), POLLIN, 0};
    // The connection may come only once the transfer has heard of a failure: it is pumped.
    for (int i = 0; i < 200 && poll(&waiting, 1, 0) == 0; ++i) {
      pump();
    }
    served.reset(accept(packageListener.get(), nullptr, nullptr));
    EXPECT_TRUE(served.valid());
    return readRequest(served);
  }

  std::string readRequest(UniqueFd& served)
  {
    std::string text;
    size_t end = std::string::npos;
    for (int i = 0; i < 200; ++i) {
      pump();
      char buffer[4096];
      const ssize_t size = recv(served.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (size > 0) {
        text.append(buffer, static_cast<size_t>(size));
      }
      end = text.find("\r\n\r\n");
      if (end != std::string::npos) {
        const size_t length = text.find("Content-Length: ");
        const size_t body = length == std::string::npos ? 0 : std::stoul(text.substr(length + 16));
        if (text.size() >= end + 4 + body) {
          break;
        }
      }
    }
    return text;
  }

  // Reads what the client gets until the transfer has ended and all is sent, taking it as a
  // client would.
  std::string clientReceived()
  {
    std::string text;
    for (int i = 0; i < 1000; ++i) {
      if (client.pending() > 0) {
        EXPECT_NE(client.send(), ClientConnection::Progress::Failed);
        if (client.pending() == 0 && client.transfer) {
          client.transfer->clientCaughtUp();
        }
      }
      char buffer[64 * 1024];
      const ssize_t got = recv(clientPeer.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (got > 0) {
        text.append(buffer, static_cast<size_t>(got));
      } else if (result.has_value() && client.pending() == 0) {
        break;
      } else {
        pump();
      }
    }
    return text;
  }

  UniqueFd epoll;
  UpstreamPool pool;
  RedirectFollower follower;
  ClientConnection client;
  UniqueFd clientPeer;
  uint16_t port = 0;
  UniqueFd packageListener;
  int touches = 0;
  bool closed = false;
  std::optional<CURLcode> result;
  HttpClient::Response answer;
};

void sendAll(int fd, const std::string& bytes)
{
  ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

} // namespace

TEST(ProxyTransferTest, TheRequestGoesAsReceivedButForHopByHopHeadersAndTheAnswerComesWhole)
{
  Loop loop;
  loop.forward("DELETE", "gone");
  UniqueFd served;
  const std::string request = loop.acceptRequest(served);
  const std::string start =
      "DELETE /echo?a=1&a=2 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(loop.port) + "\r\n";
  EXPECT_EQ(request.rfind(start, 0), 0u) << request;
  EXPECT_NE(request.find("\r\nX-Trace: 7\r\n"), std::string::npos) << request;
  EXPECT_EQ(request.find("X-Hop"), std::string::npos) << request;
  EXPECT_EQ(request.find("Connection"), std::string::npos) << request;
  EXPECT_EQ(request.find("Cookie"), std::string::npos) << request;
  EXPECT_NE(request.find("\r\nContent-Length: 4\r\n\r\ngone"), std::string::npos) << request;

  sendAll(served.get(),
          "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nX-Made: 1\r\nContent-Length: 5\r\n\r\nhello");
  loop.runToEnd();
  ASSERT_TRUE(loop.result.has_value());
  ASSERT_EQ(*loop.result, CURLE_OK);
  EXPECT_EQ(loop.answer.statusCode, 201);
  EXPECT_EQ(loop.answer.body, "hello");
  EXPECT_EQ(loop.pool.idleCount(loop.port), 1u);

  // The kept connection carries the next request.
  loop.forward("POST", "");
  const std::string next = loop.readRequest(served);
  EXPECT_EQ(next.rfind("POST /echo", 0), 0u) << next;
  EXPECT_NE(next.find("\r\nContent-Length: 0\r\n"), std::string::npos) << next;
  sendAll(served.get(), "HTTP/1.1 204 No Content\r\n\r\n");
  loop.runToEnd();
  EXPECT_EQ(loop.result.value_or(CURLE_GOT_NOTHING), CURLE_OK);
  EXPECT_EQ(loop.answer.statusCode, 204);
}

TEST(ProxyTransferTest, AKeptConnectionThePackageClosedMeanwhileCarriesTheRequestAgainOnANewOne)
{
  Loop loop;
  loop.forward("GET", "");
  UniqueFd served;
  loop.acceptRequest(served);
  sendAll(served.get(), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  loop.runToEnd();
  ASSERT_EQ(loop.pool.idleCount(loop.port), 1u);

  // The package ends the kept connection, and the next request takes it before the loop
  // heard of that.
  served.reset();
  loop.forward("PUT", "data");
  UniqueFd servedAgain;
  const std::string request = loop.acceptRequest(servedAgain);
  EXPECT_EQ(request.rfind("PUT /echo", 0), 0u) << request;
  EXPECT_NE(request.find("\r\n\r\ndata"), std::string::npos) << request;
  sendAll(servedAgain.get(), "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nagain");
  loop.runToEnd();
  ASSERT_TRUE(loop.result.has_value());
  ASSERT_EQ(*loop.result, CURLE_OK);
  EXPECT_EQ(loop.answer.body, "again");
}

TEST(ProxyTransferTest, AnAnswerTooLargeToHoldIsStreamedChunkedAsTheClientTakesIt)
{
  Loop loop;
  loop.forward("GET", "");
  UniqueFd served;
  loop.acceptRequest(served);
  // Larger than one ETag cache entry, and than what may be held for a client that is behind.
  const std::string body(Limits::maxEtagEntryBytes + Limits::maxProxyHeldBytes * 3, 'b');
  std::thread package([&] {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    send(served.get(), head.data(), head.size(), MSG_NOSIGNAL);
    size_t sent = 0;
    while (sent < body.size()) {
      const ssize_t size = send(served.get(), body.data() + sent, body.size() - sent, MSG_NOSIGNAL);
      if (size <= 0) {
        break;
      }
      sent += static_cast<size_t>(size);
    }
    served.reset();
  });
  const std::string all = loop.clientReceived();
  package.join();
  ASSERT_EQ(all.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << all.substr(0, 200);
  EXPECT_NE(all.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
  EXPECT_GT(loop.touches, 0);
  // The chunks, taken off, give the body byte for byte (the last chunk is the loop's, once
  // it hears that the transfer is complete).
  ChunkedDecoder decoder;
  std::string decoded;
  const size_t start = all.find("\r\n\r\n") + 4;
  EXPECT_EQ(decoder.read(all.data() + start, all.size() - start, decoded), all.size() - start);
  EXPECT_EQ(decoder.state(), ChunkedDecoder::State::Reading);
  EXPECT_EQ(decoded.size(), body.size());
  EXPECT_TRUE(decoded == body);
  EXPECT_EQ(loop.result.value_or(CURLE_GOT_NOTHING), CURLE_OK);
}

TEST(ProxyTransferTest, AnAnswerThatRedirectsIsFollowedAndThePostBecomesAGetAfterA303)
{
  Loop loop;
  loop.forward("POST", "form=1");
  UniqueFd served;
  loop.acceptRequest(served);
  sendAll(served.get(), "HTTP/1.1 303 See Other\r\nLocation: /moved?to=here\r\nContent-Length: 0\r\n\r\n");
  // The package is asked again, by libcurl, at the place the answer names.
  UniqueFd redirected;
  const std::string request = loop.acceptRequest(redirected);
  EXPECT_EQ(request.rfind("GET /moved?to=here HTTP/1.1\r\n", 0), 0u) << request;
  sendAll(redirected.get(), "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\narrived");
  loop.runToEnd();
  ASSERT_TRUE(loop.result.has_value());
  ASSERT_EQ(*loop.result, CURLE_OK);
  EXPECT_EQ(loop.answer.statusCode, 200);
  EXPECT_EQ(loop.answer.body, "arrived");

  // A location that is no HTTP URL is not followed: the client is told the transfer failed.
  // (The connection that brought the redirect is not kept.)
  loop.forward("GET", "");
  UniqueFd again;
  loop.acceptRequest(again);
  sendAll(again.get(), "HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\nContent-Length: 0\r\n\r\n");
  loop.runToEnd();
  ASSERT_TRUE(loop.result.has_value());
  EXPECT_EQ(*loop.result, CURLE_URL_MALFORMAT);
}
