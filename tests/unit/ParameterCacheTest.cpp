#include "camera/ParameterCache.h"

#include "TestSupport.h"

#include <atomic>

TEST(ParameterCacheTest, KeyIsTheTextAfterTheApplicationGroupInAnyCase)
{
  ParameterCache cache("orvane");
  EXPECT_EQ(cache.keyOf("root.Orvane.LogLevel"), "LogLevel");
  EXPECT_EQ(cache.keyOf("ORVANE.nodejsLocation"), "nodejsLocation");
  EXPECT_EQ(cache.keyOf("LogLevel"), "LogLevel");
  EXPECT_EQ(cache.keyOf("root.Other.LogLevel"), "root.Other.LogLevel");
  EXPECT_EQ(cache.keyOf("root.Orvane.Sub.Name"), "Sub.Name");
}

TEST(ParameterCacheTest, UpdateReportsChangesOfKnownKeysOnly)
{
  ParameterCache cache("orvane");
  cache.set("LogLevel", "  info\n");
  EXPECT_EQ(cache.value("LogLevel"), "info");

  EXPECT_TRUE(cache.update("root.Orvane.LogLevel", "debug"));
  EXPECT_EQ(cache.value("LogLevel"), "debug");
  EXPECT_FALSE(cache.update("root.Orvane.LogLevel", " debug "));
  EXPECT_EQ(cache.value("LogLevel"), "debug");

  EXPECT_FALSE(cache.update("root.Orvane.Unknown", "x"));
  EXPECT_FALSE(cache.contains("Unknown"));
  EXPECT_EQ(cache.value("Unknown"), std::nullopt);
  // The remainder after the group keeps its case, so a differently spelled key is unknown.
  EXPECT_FALSE(cache.update("root.Orvane.loglevel", "trace"));
  EXPECT_EQ(cache.value("LogLevel"), "debug");
}

TEST(ParameterCacheTest, ReadersNeverSeeAHalfWrittenValue)
{
  ParameterCache cache("orvane");
  const std::string first(4096, 'a');
  const std::string second(8192, 'b');
  cache.set("PackageConfigurations", first);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!done) {
        std::string seen = cache.snapshot()["PackageConfigurations"];
        torn += seen != first && seen != second;
        auto single = cache.value("PackageConfigurations");
        torn += !single || (*single != first && *single != second);
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    cache.update("orvane.PackageConfigurations", i % 2 ? first : second);
  }
  done = true;
  for (auto& reader : readers) {
    reader.join();
  }
  EXPECT_EQ(torn, 0);
}
