#include "util/StringUtils.h"

#include <gtest/gtest.h>

#include <cstdio>

using Pieces = std::vector<std::string>;

TEST(StringUtilsTest, TrimRemovesOnlyPosixWhiteSpaceAtBothEnds)
{
  std::string blanks = " \t\n\v\f\r \n";
  EXPECT_EQ(StringUtils::trim(blanks), "");
  std::string word = "word";
  EXPECT_EQ(StringUtils::trim(word), "word");
  std::string inner = "\t a b \r\n";
  EXPECT_EQ(StringUtils::trim(inner), "a b");
  // Bytes above 127 (such as a non-breaking space in Latin-1) are not white space.
  EXPECT_EQ(StringUtils::trimmed("\xa0x\xa0"), "\xa0x\xa0");

  std::string left = "  x  ";
  EXPECT_EQ(StringUtils::trimLeft(left), "x  ");
  std::string right = "  x  ";
  EXPECT_EQ(StringUtils::trimRight(right), "  x");
}

TEST(StringUtilsTest, ToLowerChangesAsciiLettersOnly)
{
  EXPECT_EQ(StringUtils::toLowerCopy("MiXeD-09_Z@[`"), "mixed-09_z@[`");
  EXPECT_EQ(StringUtils::toLowerCopy("\xc4\xd6"), "\xc4\xd6");
  std::string text = "ABC";
  StringUtils::toLower(text);
  EXPECT_EQ(text, "abc");
}

TEST(StringUtilsTest, JoinPutsTheSeparatorOnlyBetweenNeighbours)
{
  EXPECT_EQ(StringUtils::join({}, ','), "");
  EXPECT_EQ(StringUtils::join({"one"}, ','), "one");
  EXPECT_EQ(StringUtils::join({"a", "", "b"}, '/'), "a//b");
}

TEST(StringUtilsTest, ReplaceAllDoesNotRescanTheReplacement)
{
  EXPECT_EQ(StringUtils::replaceAll("aaa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(StringUtils::replaceAll("x.y.z", ".", ""), "xyz");
  EXPECT_EQ(StringUtils::replaceAll("abcabc", "bc", "-"), "a-a-");
  EXPECT_EQ(StringUtils::replaceAll("text", "", "x"), "text");
  EXPECT_EQ(StringUtils::replaceAll("text", "none", "x"), "text");
}

TEST(StringUtilsTest, SplitKeepsEmptyPiecesBetweenDelimitersAndAfterATrailingOne)
{
  EXPECT_EQ(StringUtils::split("a,b", ','), (Pieces{"a", "b"}));
  EXPECT_EQ(StringUtils::split("a,,b", ','), (Pieces{"a", "", "b"}));
  EXPECT_EQ(StringUtils::split(",a", ','), (Pieces{"", "a"}));
  EXPECT_EQ(StringUtils::split("/a", '/'), (Pieces{"", "a"}));
  EXPECT_EQ(StringUtils::split("abc", ','), (Pieces{"abc"}));
  EXPECT_EQ(StringUtils::split(",", ','), (Pieces{"", ""}));
  EXPECT_TRUE(StringUtils::split("", ',').empty());
  // A trailing delimiter adds one empty piece.
  EXPECT_EQ(StringUtils::split("a,b,", ','), (Pieces{"a", "b", ""}));
  EXPECT_EQ(StringUtils::split("a/b/", '/'), (Pieces{"a", "b", ""}));
  EXPECT_EQ(StringUtils::split("a\n\n", '\n'), (Pieces{"a", "", ""}));
}

TEST(StringUtilsTest, SplitStopsAtTheMaximumCountingEarlierElements)
{
  Pieces out;
  StringUtils::split("a;b;c", ';', out, 2);
  EXPECT_EQ(out, (Pieces{"a", "b"}));

  Pieces appended{"x"};
  StringUtils::split("a;b;c", ';', appended, 2);
  EXPECT_EQ(appended, (Pieces{"x", "a"}));

  // The empty piece of a trailing delimiter comes even after stopping early.
  Pieces trailing;
  StringUtils::split("a;b;c;", ';', trailing, 2);
  EXPECT_EQ(trailing, (Pieces{"a", "b", ""}));

  Pieces unlimited{"x"};
  StringUtils::split("a;b", ';', unlimited, 0);
  EXPECT_EQ(unlimited, (Pieces{"x", "a", "b"}));
}

TEST(StringUtilsTest, SplitAnyCutsAtEveryCharacterOfTheSet)
{
  EXPECT_EQ(StringUtils::splitAny("a b\tc", " \t"), (Pieces{"a", "b", "c"}));
  EXPECT_EQ(StringUtils::splitAny("a; b", "; "), (Pieces{"a", "", "b"}));
  EXPECT_EQ(StringUtils::splitAny("a;b ", "; "), (Pieces{"a", "b", ""}));
  EXPECT_TRUE(StringUtils::splitAny("", ";").empty());
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
  EXPECT_EQ(StringUtils::shellQuote("plain"), "'plain'");
  EXPECT_EQ(StringUtils::shellQuote("it's"), "'it'\\''s'");
  // The real shell must hand back exactly the bytes it was given.
  const std::string nasty = "a b'c\"d$(echo injected);`e`\\n\nf*";
  FILE* pipe = popen(("printf %s " + StringUtils::shellQuote(nasty)).c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string echoed;
  char buffer[256];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    echoed.append(buffer, got);
  }
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(echoed, nasty);
}
