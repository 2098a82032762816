#include "http/RequestData.h"

#include <gtest/gtest.h>

using Fields = std::vector<std::pair<std::string, std::string>>;

TEST(RequestDataTest, FormBodyKeepsEveryFieldInOrderAndSkipsPiecesWithoutEquals)
{
  EXPECT_EQ(parseFormBody("a=1&a=2&b"), (Fields{{"a", "1"}, {"a", "2"}}));
  EXPECT_EQ(parseFormBody("x=&=y&&z=1=2"), (Fields{{"x", ""}, {"", "y"}, {"z", "1=2"}}));
  EXPECT_TRUE(parseFormBody("").empty());
}

TEST(RequestDataTest, FormValuesArePercentDecodedButPlusStaysAndNamesStayRaw)
{
  EXPECT_EQ(parseFormBody("x=%41+b"), (Fields{{"x", "A+b"}}));
  EXPECT_EQ(parseFormBody("n%41me=%7B%22k%22%3A1%7D"), (Fields{{"n%41me", "{\"k\":1}"}}));
  // A decoded zero byte is kept, with what follows it.
  EXPECT_EQ(parseFormBody("v=%00tail&w=2"), (Fields{{"v", std::string("\0tail", 5)}, {"w", "2"}}));
}

TEST(RequestDataTest, HeadersAreFoundInAnyLetterCaseArgumentsOnlyExactly)
{
  RequestData request;
  request.headers["content-type"] = "multipart/form-data; boundary=x";
  request.arguments["storage"] = "FLASH";
  request.arguments["empty"] = "";

  EXPECT_EQ(request.header("Content-TYPE"), "multipart/form-data; boundary=x");
  EXPECT_EQ(request.header("content-type"), "multipart/form-data; boundary=x");
  EXPECT_EQ(request.header("Accept"), "");
  EXPECT_EQ(request.argument("storage"), "FLASH");
  EXPECT_EQ(request.argument("Storage"), "");
  EXPECT_EQ(request.argument("empty"), request.argument("absent"));
}
