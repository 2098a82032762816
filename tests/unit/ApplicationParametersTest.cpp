#include "app/ApplicationParameters.h"

#include "TestSupport.h"

namespace {

class SeededParams : public CameraParameters {
public:
  SeededParams() : CameraParameters("orvane", nullptr)
  {
    cache.set("Version", "3.1.10");
    cache.set("Enabled", "1");
    cache.set("PackageConfigurations", "{}");
    cache.set("LogLevel", "debug");
  }
};

} // namespace

// Burst coalescing on the main loop is checked end to end against the simulated camera.
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
