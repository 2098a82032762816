#include "http/RequestHead.h"
#include "util/Limits.h"

#include <gtest/gtest.h>

TEST(RequestHeadTest, TakesForwardableHeadsAndLeavesEverythingElseToTheLibrary)
{
  using Kind = RequestHead::Kind;
  const std::string tooLong = std::to_string(Limits::maxRequestBodyBytes + 1);
  struct Case {
    std::string bytes;
    Kind kind;
  };
  for (const Case& c : {
           Case{"GET /proxy/a/b HTTP/1.1\r\nHost: x\r\n\r\n", Kind::Plain},
           Case{"POST /proxy/a HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", Kind::Plain},
           Case{"PUT /proxy/a HTTP/1.1\r\n\r\n", Kind::Plain},
           Case{"DELETE /proxy/a HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", Kind::Plain},
           Case{"GET /a HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", Kind::Plain},
           Case{"GET /proxy/a HTTP/1.0\r\n\r\n", Kind::Plain},
           Case{"POST /a HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n", Kind::Plain},
           Case{"POST /a HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n", Kind::Plain},
           Case{"GET /a HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", Kind::Plain},
           Case{"GET /proxy/a HTTP/1.1\r\nHost: x\r\n", Kind::Incomplete},
           Case{"GET /proxy/a HTTP/1.1\n\n", Kind::Other},
           Case{"GET /proxy/a HTTP/2.0\r\n\r\n", Kind::Other},
           Case{"TRACE /proxy/a HTTP/1.1\r\n\r\n", Kind::Other},
           Case{"get /proxy/a HTTP/1.1\r\n\r\n", Kind::Other},
           Case{"GET  /proxy/a HTTP/1.1\r\n\r\n", Kind::Other},
           Case{"GET proxy/a HTTP/1.1\r\n\r\n", Kind::Other},
           Case{"GET /a\x01 HTTP/1.1\r\n\r\n", Kind::Other},
           Case{"GET /a HTTP/1.1\r\nX: 1\r\n folded\r\n\r\n", Kind::Other},
           Case{"GET /a HTTP/1.1\r\nNo colon\r\n\r\n", Kind::Other},
           Case{"GET /a HTTP/1.1\r\n: no name\r\n\r\n", Kind::Other},
           Case{"GET /a HTTP/1.1\r\nX: a\rb\r\n\r\n", Kind::Other},
           Case{"GET /a HTTP/1.1\r\nX : a\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n",
                Kind::Other},
           Case{"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.1\r\nExpect: something\r\n\r\n", Kind::Other},
           Case{"GET /a HTTP/1.1\r\nConnection: a b\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.1\r\nContent-Length: -1\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.1\r\nContent-Length: +1\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.1\r\nContent-Length: " + tooLong + "\r\n\r\n", Kind::Other},
       }) {
    RequestHead head;
    EXPECT_EQ(RequestHead::parse(c.bytes, head), c.kind) << c.bytes;
  }
}

TEST(RequestHeadTest, KeepsTheTargetAndHeaderLinesAsSentBesideThePathTheLibraryWouldRoute)
{
  RequestHead head;
  const std::string bytes = "POST /proxy/a%20b/c?x=1+2&flag&y=%26&x=3&=e& HTTP/1.1\r\n"
                            "Content-TYPE:  text/plain \r\nConnection: keep-alive, close, X-Hop\r\n"
                            "Expect: 100-Continue\r\nContent-Length: 2\r\n\r\nhi";
  ASSERT_EQ(RequestHead::parse(bytes, head), RequestHead::Kind::Plain);
  EXPECT_EQ(head.method, "POST");
  EXPECT_EQ(head.target, "/proxy/a%20b/c?x=1+2&flag&y=%26&x=3&=e&");
  EXPECT_EQ(head.path, "/proxy/a b/c");
  EXPECT_EQ(head.headers.at("content-type"), "text/plain");
  EXPECT_EQ(head.fields.front(), (std::pair<std::string, std::string>{"Content-TYPE", "text/plain"}));
  EXPECT_EQ(head.connectionTokens, (std::vector<std::string>{"keep-alive", "close", "x-hop"}));
  EXPECT_TRUE(head.close);
  EXPECT_TRUE(head.expectContinue);
  EXPECT_FALSE(head.chunked);
  EXPECT_EQ(head.contentLength, 2U);
  EXPECT_EQ(head.length, bytes.size() - 2);

  RequestHead chunked;
  ASSERT_EQ(RequestHead::parse("PUT / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n", chunked),
            RequestHead::Kind::Plain);
  EXPECT_TRUE(chunked.chunked);
  EXPECT_EQ(chunked.contentLength, 0U);

  RequestHead old;
  ASSERT_EQ(RequestHead::parse("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", old),
            RequestHead::Kind::Plain);
  EXPECT_TRUE(old.http10);
  EXPECT_TRUE(old.close);
}
