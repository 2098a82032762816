#include "app/ApplicationParameters.h"
#include "app/AppContext.h"
#include "camera/ParamsManager2.h"
#include "util/Logger.h"

#include <gtest/gtest.h>

namespace {

class SeededParams : public ParamsManager2 {
public:
  SeededParams() : ParamsManager2("orvane", nullptr)
  {
    cache.set("Version", "3.1.10");
    cache.set("Enabled", "1");
    cache.set("PackageConfigurations", "{}");
    cache.set("LogLevel", "debug");
  }
};

size_t occurrences(const std::string& text, const std::string& piece)
{
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

} // namespace

TEST(ApplicationParametersTest, NamesComeInRegistrationOrder)
{
  EXPECT_EQ(applicationParameterNames(),
            (std::vector<std::string>{"Version", "VersionHash", "Enabled", "PackageConfigurations",
                                      "NodejsLocation", "LogLevel"}));
}

TEST(ApplicationParametersTest, OnlyARealChangeOfPackageConfigurationsAsksForReconciliation)
{
  SeededParams params;
  EXPECT_FALSE(updateChangedParameters(params, {{"root.Orvane.PackageConfigurations", " {} "}}));
  EXPECT_FALSE(updateChangedParameters(params, {{"root.Orvane.Enabled", "0"}}));
  EXPECT_EQ(params.getParameters()["Enabled"], "0");
  EXPECT_TRUE(
      updateChangedParameters(params, {{"root.Orvane.PackageConfigurations", "{\"a\":{\"enabled\":true}}"},
                                       {"root.Orvane.LogLevel", "error"}}));
  EXPECT_EQ(params.getParameters()["LogLevel"], "error");
  // Changed and changed back within one burst: the last store is what counts, but the
  // first one differed, so the controller is still brought in line.
  EXPECT_TRUE(
      updateChangedParameters(params, {{"root.Orvane.PackageConfigurations", "{}"},
                                       {"root.Orvane.PackageConfigurations", "{\"a\":{\"enabled\":true}}"}}));
}

TEST(ApplicationParametersTest, BurstOfChangesIsAppliedOnceAfterTheLast)
{
  auto params = std::make_shared<SeededParams>();
  AppContext::instance().paramsManager = params;
  Logger::setConsoleOutput(true);
  testing::internal::CaptureStdout();

  onParameterChanged("root.Orvane.Enabled", "0", nullptr);
  onParameterChanged("root.Orvane.LogLevel", "error", nullptr);
  onParameterChanged("root.Orvane.Enabled", "1", nullptr);
  onParameterChanged("root.Orvane.Version", nullptr, nullptr);
  EXPECT_TRUE(hasPendingParameterChanges());
  // Nothing reaches the cache before the timer runs.
  EXPECT_EQ(params->getParameters()["LogLevel"], "debug");

  gint64 deadline = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
  while (hasPendingParameterChanges() && g_get_monotonic_time() < deadline) {
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(1000);
  }
  // Let any second, wrongly armed timer fire too.
  gint64 settle = g_get_monotonic_time() + 700 * 1000;
  while (g_get_monotonic_time() < settle) {
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(1000);
  }
  std::string output = testing::internal::GetCapturedStdout();
  Logger::setConsoleOutput(false);
  AppContext::instance().paramsManager.reset();

  EXPECT_FALSE(hasPendingParameterChanges());
  EXPECT_EQ(occurrences(output, "] Parameter \"root.Orvane.Enabled\" changed\n"), 2u) << output;
  EXPECT_EQ(occurrences(output, "] Parameter \"root.Orvane.LogLevel\" changed\n"), 1u) << output;
  EXPECT_EQ(occurrences(output, "Process changed params"), 1u) << output;
  EXPECT_LT(output.rfind("\" changed"), output.find("Process changed params"));
  auto values = params->getParameters();
  EXPECT_EQ(values["Enabled"], "1");
  EXPECT_EQ(values["LogLevel"], "error");
  EXPECT_EQ(values["Version"], "3.1.10");
}
