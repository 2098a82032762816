#include "util/StringUtils.h"
#include "util/SystemUtils.h"

#include <gtest/gtest.h>

using Pieces = std::vector<std::string>;

TEST(StringUtilsTest, TrimRemovesOnlyAsciiWhiteSpaceAndLowerCaseChangesOnlyAsciiLetters)
{
  std::string blanks = " \t\n\v\f\r \n";
  EXPECT_EQ(StringUtils::trim(blanks), "");
  std::string inner = "\t a b \r\n";
  EXPECT_EQ(StringUtils::trim(inner), "a b");
  // Bytes above 127 (such as a non-breaking space in Latin-1) are not white space.
  EXPECT_EQ(StringUtils::trimmed("\xa0x\xa0"), "\xa0x\xa0");
  EXPECT_EQ(StringUtils::toLowerCopy("MiXeD-09_Z@[`\xc4\xd6"), "mixed-09_z@[`\xc4\xd6");
}

TEST(StringUtilsTest, JoinKeepsEmptyParts)
{
  EXPECT_EQ(StringUtils::join({"a", "", "b"}, '/'), "a//b");
}

TEST(StringUtilsTest, SplitKeepsEmptyPiecesAndStopsAtTheMaximumCountingEarlierElements)
{
  EXPECT_EQ(StringUtils::split("a,,b", ','), (Pieces{"a", "", "b"}));
  EXPECT_EQ(StringUtils::split(",", ','), (Pieces{"", ""}));
  EXPECT_TRUE(StringUtils::split("", ',').empty());

  Pieces appended{"x"};
  StringUtils::split("a;b;c", ';', appended, 2);
  EXPECT_EQ(appended, (Pieces{"x", "a"}));
  // The empty piece of a trailing delimiter comes even after stopping early.
  Pieces trailing;
  StringUtils::split("a;b;c;", ';', trailing, 2);
  EXPECT_EQ(trailing, (Pieces{"a", "b", ""}));

  EXPECT_EQ(StringUtils::splitAny("a; b", "; "), (Pieces{"a", "", "b"}));
  Pieces limited;
  StringUtils::splitAny("a;b,c", ";,", limited, 2);
  EXPECT_EQ(limited, (Pieces{"a", "b"}));
}

TEST(StringUtilsTest, JsonEscapeLeavesNoControlCharacterAndCopiesOtherBytes)
{
  EXPECT_EQ(StringUtils::jsonEscape("a/b"), "a\\/b");
  EXPECT_EQ(StringUtils::jsonEscape("\"q\" \\"), "\\\"q\\\" \\\\");
  EXPECT_EQ(StringUtils::jsonEscape("\n\r\t\b\f"), "\\n\\r\\t\\b\\f");
  EXPECT_EQ(StringUtils::jsonEscape(std::string("\x01\x1f\x0b\0", 4)), "\\u0001\\u001f\\u000b\\u0000");
  const std::string untouched("\x7f\xc3\xa9 ok", 6);
  EXPECT_EQ(StringUtils::jsonEscape(untouched), untouched);
}

TEST(StringUtilsTest, ShellQuotedWordsReachTheCommandUnchanged)
{
  const std::string nasty = "a b'c\"d$(echo injected);`e`\\n\nf*";
  EXPECT_EQ(SystemUtils::exec({"sh", "-c", "printf %s " + StringUtils::shellQuote(nasty)}), nasty);
}
