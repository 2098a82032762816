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

TEST(StringUtilsTest, RepairUtf8ReplacesEachMaximalIllFormedSubpartAndKeepsWellFormedText)
{
  EXPECT_EQ(StringUtils::repairUtf8("plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
            "plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
  const std::string replacement = "\xef\xbf\xbd";
  // A stray continuation byte, a lead byte followed by ASCII, bytes that never start UTF-8.
  EXPECT_EQ(StringUtils::repairUtf8("a\x80z"), "a" + replacement + "z");
  EXPECT_EQ(StringUtils::repairUtf8("\xc3("), replacement + "(");
  EXPECT_EQ(StringUtils::repairUtf8("\xc0\xaf\xff"), replacement + replacement + replacement);
  // A surrogate, an overlong form and a code point above U+10FFFF: the lead byte alone is
  // the ill-formed subpart, each continuation byte after it another.
  EXPECT_EQ(StringUtils::repairUtf8("\xed\xa0\x80"), replacement + replacement + replacement);
  EXPECT_EQ(StringUtils::repairUtf8("\xe0\x80\x80"), replacement + replacement + replacement);
  EXPECT_EQ(StringUtils::repairUtf8("\xf4\x90\x80\x80"), replacement + replacement + replacement + replacement);
  // A truncated sequence is one subpart, at the end or before other text.
  EXPECT_EQ(StringUtils::repairUtf8("x\xe2\x82"), "x" + replacement);
  EXPECT_EQ(StringUtils::repairUtf8("\xf0\x9f\x98z"), replacement + "z");
  EXPECT_EQ(StringUtils::repairUtf8(std::string("\0", 1)), std::string("\0", 1));
}

TEST(StringUtilsTest, EscapeControlsWritesEveryControlButTabAsHexAndNothingElse)
{
  EXPECT_EQ(StringUtils::escapeControls("tab\there \xc3\xa9 \\x1b"), "tab\there \xc3\xa9 \\x1b");
  EXPECT_EQ(StringUtils::escapeControls("\x1b[31mred\r\nx\x7f"), "\\x1b[31mred\\x0d\\x0ax\\x7f");
  EXPECT_EQ(StringUtils::escapeControls(std::string("a\0b", 3)), "a\\x00b");
}
