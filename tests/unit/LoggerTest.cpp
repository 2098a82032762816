#include "util/Logger.h"

#include "TestSupport.h"

#include <cstdlib>

TEST(LoggerTest, LevelNamesAreExactAndCaseSensitive)
{
  EXPECT_EQ(Logger::levelFromString("none"), LogLevel::None);
  EXPECT_EQ(Logger::levelFromString("error"), LogLevel::Error);
  EXPECT_EQ(Logger::levelFromString("debug"), LogLevel::Debug);
  EXPECT_EQ(Logger::levelFromString("Debug"), LogLevel::Info);
  EXPECT_EQ(Logger::levelFromString("verbose"), LogLevel::Info);
}

TEST(LoggerTest, EveryLabelIsElevenCharactersAndUnknownLevelsReadInfo)
{
  EXPECT_EQ(Logger::levelLabel(LogLevel::None), "[ Info    ]");
  EXPECT_EQ(Logger::levelLabel(LogLevel::Warning), "[ Warning ]");
  EXPECT_EQ(Logger::levelLabel(static_cast<LogLevel>(9)), "[ Info    ]");
  for (int level = 0; level <= 5; ++level) {
    EXPECT_EQ(Logger::levelLabel(static_cast<LogLevel>(level)).size(), 11u);
  }
}

TEST(LoggerTest, ConsoleLineHasLocalTimePaddedMillisecondsAndLabel)
{
  setenv("TZ", "UTC", 1);
  tzset();
  // 2024-03-07 14:05:09 UTC
  EXPECT_EQ(Logger::formatConsoleLine("Some text", LogLevel::Warning, 1709820309, 42),
            "2024-03-07 14:05:09.042 [ Warning ] Some text");
  EXPECT_EQ(Logger::formatConsoleLine("100% %s", LogLevel::Error, 1709820309, 7),
            "2024-03-07 14:05:09.007 [ Error   ] 100% %s");
}

TEST(LoggerTest, MessagesAboveTheCurrentLevelAreNotPrinted)
{
  {
    TestSupport::LogCapture log("warning");
    Logger::log("shown error", LogLevel::Error);
    Logger::log("hidden info", LogLevel::Info);
    Logger::log("hidden trace", LogLevel::Trace);
    EXPECT_TRUE(log.has("[ Error   ] shown error"));
    EXPECT_FALSE(log.contains("hidden"));
  }
  TestSupport::LogCapture log("none");
  Logger::log("hidden at none", LogLevel::Error);
  Logger::log("level zero passes", LogLevel::None);
  EXPECT_FALSE(log.contains("hidden"));
  EXPECT_TRUE(log.has("[ Info    ] level zero passes"));
}

TEST(LoggerTest, ConsoleTimeStampsDoNotRunBackwardsAtASecondsTurn)
{
  using namespace std::chrono;
  TestSupport::LogCapture log("info");
  // From 50 ms before the next whole second to 30 ms after it, a line every 50 µs.
  const auto now = system_clock::now();
  const auto turn = time_point_cast<seconds>(now) + seconds(1);
  std::this_thread::sleep_until(turn - milliseconds(50));
  while (system_clock::now() < turn + milliseconds(30)) {
    Logger::log("tick", LogLevel::Info);
    std::this_thread::sleep_for(microseconds(50));
  }
  std::istringstream in(log.text());
  std::string line;
  std::string previous;
  int count = 0;
  while (std::getline(in, line)) {
    // "YYYY-MM-DD HH:MM:SS.mmm" sorts as text.
    const std::string stamp = line.substr(0, 23);
    ASSERT_GE(stamp, previous) << "line " << count;
    previous = stamp;
    ++count;
  }
  EXPECT_GT(count, 100);
}
