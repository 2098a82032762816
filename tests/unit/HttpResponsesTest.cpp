#include "http/HttpServer.h"
#include "http/UpstreamHeadLines.h"

#include <gtest/gtest.h>

using Headers = std::vector<std::pair<std::string, std::string>>;

// JSON status bodies and their escaping are checked end to end with every answer.
TEST(HttpResponsesTest, MimeTypesAreMatchedExactlyWithTheirDot)
{
  // The whole table is checked end to end through package UI files.
  EXPECT_EQ(HttpServer::mimeTypeForExtension(".html"), "text/html");
  EXPECT_EQ(HttpServer::mimeTypeForExtension("html"), "text/plain");
  EXPECT_EQ(HttpServer::mimeTypeForExtension(".jpeg"), "text/plain");
  EXPECT_EQ(HttpServer::mimeTypeForExtension(""), "text/plain");
}

TEST(HttpResponsesTest, UpstreamHeaderLinesAreTakenBackwardsWithoutStatusLineAndEmptyValues)
{
  const std::vector<std::string> lines = {"HTTP/2 200 \r\n", "Content-Type: text/html\r\n", "X-Empty:\r\n",
                                          "X-Two:  b \r\n", "\r\n"};
  EXPECT_EQ(headersFromLines(lines), (Headers{{"X-Two", "b"}, {"Content-Type", "text/html"}}));
  // A line that is no header ends the reading: what follows it could be anything.
  EXPECT_EQ(
      headersFromLines({"HTTP/1.1 200 OK\r\n", "A: 1\r\n", "no colon\r\n", "B: 2\r\n", "\r\n"}),
      (Headers{{"A", "1"}}));
}

TEST(HttpResponsesTest, FoldedHeaderBecomesOneHeaderWithItsWholeValue)
{
  const std::vector<std::string> lines = {
      "HTTP/1.1 200 OK\r\n", "X-Long: part one\r\n",         "  part two\r\n",
      "\tpart: three\r\n",   "content-TYPE: text/plain\r\n", "\r\n",
  };
  // Read line by line, the continuation "part: three" would pose as a header named "part".
  EXPECT_EQ(headersFromLines(lines),
            (Headers{{"content-TYPE", "text/plain"}, {"X-Long", "part one part two part: three"}}));
}

TEST(HttpResponsesTest, HeaderWalkStopsAtAnEarlierHeaderBlock)
{
  // After a redirect the client hands over both heads; only the last one counts.
  const std::vector<std::string> lines = {"HTTP/1.1 301 Moved\r\n", "Location: /x\r\n", "\r\n",
                                          "HTTP/1.1 200 OK\r\n",    "Server: b\r\n",    "\r\n"};
  EXPECT_EQ(headersFromLines(lines), (Headers{{"Server", "b"}}));
  // An interim answer as libcurl hands it over: a line at a time.
  EXPECT_EQ(headersFromLines({"HTTP/1.1 100 Continue\r\n", "X-Interim: yes\r\n", "\r\n",
                                          "HTTP/1.1 200 OK\r\n", "X-Final: yes\r\n", "\r\n"}),
            (Headers{{"X-Final", "yes"}}));
  EXPECT_TRUE(headersFromLines({"\r\n"}).empty());
  EXPECT_TRUE(headersFromLines({}).empty());
}
