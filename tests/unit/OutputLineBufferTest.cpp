#include "packages/OutputLineBuffer.h"

#include "TestSupport.h"

namespace {

class LineSplitting : public ::testing::Test {
protected:
  explicit LineSplitting(size_t maxLength = 8)
      : buffer(
            maxLength, [this](const std::string& line) { lines.push_back(line); },
            [this](size_t dropped) { cuts.push_back(dropped); })
  {
  }

  void feed(const std::string& text) { buffer.append(text.data(), text.size()); }

  std::vector<std::string> lines;
  std::vector<size_t> cuts;
  OutputLineBuffer buffer;
};

TEST_F(LineSplitting, JoinsPiecesUntilANewlineAndKeepsTheRest)
{
  feed("a");
  feed("b\nc");
  EXPECT_EQ(lines, std::vector<std::string>{"ab"});
  EXPECT_EQ(buffer.buffered(), 1u);
  feed("\n\nd\ne\n");
  EXPECT_EQ(lines, (std::vector<std::string>{"ab", "c", "", "d", "e"}));
  EXPECT_EQ(buffer.buffered(), 0u);
  EXPECT_TRUE(cuts.empty());
}

TEST_F(LineSplitting, ALineOfExactlyTheLimitIsNotCut)
{
  feed("12345678\n");
  feed("1234");
  feed("5678");
  feed("\nx\n");
  EXPECT_EQ(lines, (std::vector<std::string>{"12345678", "12345678", "x"}));
  EXPECT_TRUE(cuts.empty());
}

TEST_F(LineSplitting, ALongerLineIsHandedOnAtTheLimitAndItsRestCounted)
{
  feed("1234");
  feed("56789abc");
  EXPECT_EQ(lines, std::vector<std::string>{"12345678"});
  EXPECT_EQ(buffer.buffered(), 0u);
  feed(std::string(1000, 'z'));
  EXPECT_EQ(buffer.buffered(), 0u);
  EXPECT_TRUE(cuts.empty());
  feed("yy\nnext\n");
  EXPECT_EQ(lines, (std::vector<std::string>{"12345678", "next"}));
  EXPECT_EQ(cuts, std::vector<size_t>{4 + 1000 + 2});
}

TEST_F(LineSplitting, AFloodWithoutNewlinesKeepsMemoryBoundedAndIsReportedOnFlush)
{
  const std::string chunk(256, 'f');
  for (int i = 0; i < 4000; ++i) {
    feed(chunk);
    ASSERT_LE(buffer.buffered(), 8u);
  }
  EXPECT_EQ(lines.size(), 1u);
  buffer.flushCut();
  EXPECT_EQ(cuts, std::vector<size_t>{256 * 4000 - 8});
  buffer.flushCut();
  EXPECT_EQ(cuts.size(), 1u);
  feed("after\n");
  EXPECT_EQ(lines.back(), "after");
}

} // namespace
