#include "packages/PackageLog.h"

#include "util/Limits.h"

#include "TestSupport.h"

namespace {

TEST(PackageLogTest, KeepsTheNewestLinesWithinItsBytesAndCountsWhatAReaderMissed)
{
  PackageLog log(Limits::packageLogBytes);
  const std::string text(100, 'x');
  const size_t fit = Limits::packageLogBytes / (text.size() + PackageLog::lineOverheadBytes);
  for (size_t i = 1; i <= fit + 10; ++i) {
    log.add(i % 2 ? PackageLog::Stream::Out : PackageLog::Stream::Err, text + std::to_string(i));
  }
  log.add(PackageLog::Stream::Orvane, "last");
  EXPECT_LE(log.bytes(), Limits::packageLogBytes);

  const PackageLog::Page all = log.read(0, Limits::packageLogMaxLines);
  const uint64_t total = fit + 11;
  ASSERT_FALSE(all.lines.empty());
  EXPECT_EQ(all.dropped + all.lines.size(), total);
  EXPECT_EQ(all.lines.front().seq, all.dropped + 1);
  EXPECT_EQ(all.lines.front().text, text + std::to_string(all.dropped + 1));
  EXPECT_EQ(all.lines.back().text, "last");
  EXPECT_EQ(PackageLog::streamName(all.lines.back().stream), std::string("orvane"));
  EXPECT_EQ(all.next, total);

  const PackageLog::Page some = log.read(all.dropped + 2, 3);
  ASSERT_EQ(some.lines.size(), 3u);
  EXPECT_EQ(some.dropped, 0u);
  EXPECT_EQ(some.lines.front().seq, all.dropped + 3);
  EXPECT_EQ(some.next, all.dropped + 5);

  EXPECT_TRUE(log.read(total, 10).lines.empty());
  EXPECT_EQ(log.read(total + 50, 10).next, total) << "a reader ahead is brought back";

  // A line longer than the whole ring is kept shortened, alone.
  log.add(PackageLog::Stream::Out, std::string(2 * Limits::packageLogBytes, 'y'));
  const PackageLog::Page big = log.read(total, 10);
  ASSERT_EQ(big.lines.size(), 1u);
  EXPECT_LE(log.bytes(), Limits::packageLogBytes);
}

} // namespace
