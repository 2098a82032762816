#include "http/UpstreamResponse.h"
#include "util/Limits.h"

#include <gtest/gtest.h>

namespace {

using State = UpstreamResponse::State;

// Feeds `bytes` in pieces of `piece` bytes until the answer is done or failed; what follows
// the answer is left in `rest`.
std::string readAll(UpstreamResponse& response, const std::string& bytes, size_t piece,
                    std::string* rest = nullptr)
{
  std::string body;
  size_t offset = 0;
  while (offset < bytes.size() && (response.state() == State::Head || response.state() == State::Body)) {
    const size_t size = std::min(piece, bytes.size() - offset);
    offset += response.read(bytes.data() + offset, size, body);
  }
  if (rest != nullptr) {
    *rest = bytes.substr(offset);
  }
  return body;
}

} // namespace

TEST(UpstreamResponseTest, TakesOffLengthChunkedAndCloseFramingInAnyPieces)
{
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                              "5;ext=1\r\nhello\r\nB;ext\r\n, the world\r\n0\r\nTrailer: x\r\n\r\nNEXT";
  const std::string length =
      "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\nHTTP/1.1 103 Early Hints\r\n\r\n"
      "HTTP/1.1 201 Created\r\nContent-Length: 16\r\nX-A: b\r\n\r\nhello, the worldNEXT";
  for (size_t piece : {size_t{1}, size_t{3}, size_t{1000}}) {
    for (const std::string* bytes : {&chunked, &length}) {
      UpstreamResponse response;
      std::string rest;
      EXPECT_EQ(readAll(response, *bytes, piece, &rest), "hello, the world") << piece << *bytes;
      EXPECT_EQ(response.state(), State::Done);
      EXPECT_EQ(rest, "NEXT");
      EXPECT_TRUE(response.reusable());
    }
  }
  UpstreamResponse interim;
  readAll(interim, length, 7);
  EXPECT_EQ(interim.status(), 201);
  EXPECT_EQ(interim.announcedLength(), 16);
  EXPECT_EQ(
      interim.headerLines(),
      (std::vector<std::string>{"HTTP/1.1 201 Created\r\n", "Content-Length: 16\r\n", "X-A: b\r\n", "\r\n"}));

  UpstreamResponse untilClose;
  EXPECT_EQ(readAll(untilClose, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nall of it", 4), "all of it");
  EXPECT_EQ(untilClose.state(), State::Body);
  untilClose.closed();
  EXPECT_EQ(untilClose.state(), State::Done);
  EXPECT_FALSE(untilClose.reusable());

  UpstreamResponse empty;
  readAll(empty, "HTTP/1.1 304 Not Modified\r\nETag: \"t\"\r\nContent-Length: 99\r\n\r\n", 5);
  EXPECT_EQ(empty.state(), State::Done);
}

TEST(UpstreamResponseTest, BrokenOrShortAnswersFailWithTheCodeLibcurlWouldGive)
{
  struct Case {
    std::string bytes;
    CURLcode error;
  };
  for (const Case& c : {
           Case{"", CURLE_GOT_NOTHING},
           Case{"HTTP/1.1 200 OK\r\nContent-Le", CURLE_RECV_ERROR},
           Case{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", CURLE_PARTIAL_FILE},
           Case{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel", CURLE_PARTIAL_FILE},
           Case{"SSH-2.0-OpenSSH\r\n\r\n", CURLE_WEIRD_SERVER_REPLY},
           Case{"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
                CURLE_WEIRD_SERVER_REPLY},
           Case{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n",
                CURLE_WEIRD_SERVER_REPLY},
           Case{"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 5\r\n\r\n",
                CURLE_WEIRD_SERVER_REPLY},
           Case{"HTTP/1.1 099 Early\r\nContent-Length: 2\r\n\r\nok", CURLE_WEIRD_SERVER_REPLY},
           Case{"HTTP/1.1 000 Zero\r\n\r\n", CURLE_WEIRD_SERVER_REPLY},
           Case{"HTTP/1.1 600 Beyond\r\n\r\n", CURLE_WEIRD_SERVER_REPLY},
           Case{"HTTP/1.1 99 Two\r\n\r\n", CURLE_WEIRD_SERVER_REPLY},
           Case{"HTTP/1.1 2000 Four\r\n\r\n", CURLE_WEIRD_SERVER_REPLY},
           Case{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", CURLE_RECV_ERROR},
           Case{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-7\r\nhello\r\n", CURLE_RECV_ERROR},
           Case{"HTTP/1.1 200 OK\r\nX: " + std::string(Limits::maxUpstreamHeadBytes, 'x'),
                CURLE_WEIRD_SERVER_REPLY},
       }) {
    UpstreamResponse response;
    readAll(response, c.bytes, 4096);
    response.closed();
    EXPECT_EQ(response.state(), State::Failed) << c.bytes.substr(0, 80);
    EXPECT_EQ(response.error(), c.error) << c.bytes.substr(0, 80);
    EXPECT_FALSE(response.reusable());
  }
}
