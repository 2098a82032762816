#include "http/RequestHead.h"
#include "util/Limits.h"

#include <gtest/gtest.h>

TEST(RequestHeadTest, TakesOnlyPlainGetAndPostHeadsAndLeavesEverythingElseToTheLibrary)
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
           Case{"GET /proxy/a HTTP/1.1\r\nHost: x\r\n", Kind::Incomplete},
           Case{"GET /proxy/a HTTP/1.1\n\n", Kind::Other},
           Case{"GET /proxy/a HTTP/1.0\r\n\r\n", Kind::Other},
           Case{"PUT /proxy/a HTTP/1.1\r\n\r\n", Kind::Other},
           Case{"GET  /proxy/a HTTP/1.1\r\n\r\n", Kind::Other},
           Case{"GET proxy/a HTTP/1.1\r\n\r\n", Kind::Other},
           Case{"GET /a\x01 HTTP/1.1\r\n\r\n", Kind::Other},
           Case{"GET /a HTTP/1.1\r\nX: 1\r\n folded\r\n\r\n", Kind::Other},
           Case{"GET /a HTTP/1.1\r\nNo colon\r\n\r\n", Kind::Other},
           Case{"GET /a HTTP/1.1\r\nX: a\rb\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n", Kind::Other},
           Case{"GET /a HTTP/1.1\r\nUpgrade: websocket\r\n\r\n", Kind::Other},
           Case{"GET /a HTTP/1.1\r\nConnection: Upgrade\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.1\r\nContent-Length: -1\r\n\r\n", Kind::Other},
           Case{"POST /a HTTP/1.1\r\nContent-Length: " + tooLong + "\r\n\r\n", Kind::Other},
           Case{"GET /a HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", Kind::Other},
       }) {
    RequestHead head;
    EXPECT_EQ(RequestHead::parse(c.bytes, head), c.kind) << c.bytes;
  }
}

TEST(RequestHeadTest, ReadsPathArgumentsHeadersAndLengthsAsTheLibraryGivesThem)
{
  RequestHead head;
  const std::string bytes = "POST /proxy/a%20b/c?x=1+2&flag&y=%26&x=3&=e& HTTP/1.1\r\n"
                            "Content-TYPE:  text/plain \r\nConnection: keep-alive, close\r\n"
                            "Content-Length: 2\r\n\r\nhi";
  ASSERT_EQ(RequestHead::parse(bytes, head), RequestHead::Kind::Plain);
  EXPECT_EQ(head.method, "POST");
  EXPECT_EQ(head.path, "/proxy/a b/c");
  EXPECT_EQ(head.arguments, (std::map<std::string, std::string>{{"x", "3"}, {"y", "&"}, {"", "e"}}));
  EXPECT_EQ(head.headers.at("content-type"), "text/plain");
  EXPECT_TRUE(head.close);
  EXPECT_EQ(head.contentLength, 2U);
  EXPECT_EQ(head.length, bytes.size() - 2);
}
