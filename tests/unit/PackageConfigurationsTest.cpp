#include "app/PackageConfigurations.h"

#include "TestSupport.h"
#include "packages/PackageController.h"
#include "util/Limits.h"

using namespace TestSupport;

namespace {

class Configurations : public ::testing::Test {
protected:
  Configurations()
  {
    for (const char* name : {"clockAnalog", "weather", "radar"}) {
      layout.addPackage(PackagePaths::flashPackageRoot(), name);
    }
  }

  void apply(const std::string& value)
  {
    params->seed("PackageConfigurations", value);
    applyPackageConfigurations(*params, *controller);
  }

  std::string registered()
  {
    std::string names;
    for (const auto& entry : controller->getPackages()) {
      names += entry.first + " ";
    }
    return names;
  }

  StorageLayout layout;
  TestParams params = std::make_shared<FakeParams>();
  LogCapture log;
  std::shared_ptr<PackageController> controller = std::make_shared<PackageController>(testRuntime(params));
};

TEST_F(Configurations, RegistersTheEnabledAndUnregistersTheRest)
{
  apply(R"({"clockAnalog":{"enabled":true,"other":1},"weather":{"enabled":true},"radar":{"enabled":false}})");
  EXPECT_EQ(registered(), "clockAnalog weather ");
  auto clock = controller->getPackage("clockAnalog");

  apply(R"({"clockAnalog":{"enabled":true},"weather":{"enabled":false},"x":5,"ghost":{"enabled":true}})");
  EXPECT_EQ(registered(), "clockAnalog ");
  // A package that stays enabled keeps its registration.
  EXPECT_EQ(controller->getPackage("clockAnalog"), clock);

  apply("{}");
  EXPECT_EQ(registered(), "");
}

TEST_F(Configurations, InvalidValuesLeaveOrDropRegistrationsAsTheyShould)
{
  apply(R"({"clockAnalog":{"enabled":true},"weather":{"enabled":true}})");
  // Too deep or too long to be read, even when what could be read would enable only one. Other
  // texts that are not an object, and the log lines, are checked end to end.
  const std::string oversized =
      R"({"clockAnalog":{"enabled":true},"pad":")" + std::string(Limits::maxConfigurationsBytes, 'x') + "\"}";
  for (const std::string& value :
       {std::string(""), std::string("{\"a\":{\"enabled\":true}} trailing"), oversized,
        R"({"clockAnalog":{"enabled":true},"x":)" + std::string(100, '[') + std::string(100, ']') + "}"}) {
    apply(value);
    EXPECT_EQ(registered(), "clockAnalog weather ") << value.substr(0, 40);
  }
  // Members without a boolean "enabled" count as disabled.
  apply(R"({"clockAnalog":{"enabled":"true"},"weather":{"enabled":1},"radar":{}})");
  EXPECT_EQ(registered(), "");
}

TEST_F(Configurations, MemoryLimitsAreWholeMegabytesWithinTheMachineAndARefusedOneKeepsTheLastGood)
{
  apply(R"({"clockAnalog":{"enabled":true,"memory_limit_mib":128},"weather":{"enabled":true}})");
  EXPECT_EQ(controller->getPackage("clockAnalog")->memoryLimit(), std::optional<uint32_t>(128));
  EXPECT_EQ(controller->getPackage("weather")->memoryLimit(), std::nullopt);
  for (const char* invalid : {"0", "-5", "12.5", "\"64\"", "true", "99999999999"}) {
    apply(std::string(R"({"clockAnalog":{"enabled":true,"memory_limit_mib":)") + invalid + "}}");
    EXPECT_EQ(controller->getPackage("clockAnalog")->memoryLimit(), std::optional<uint32_t>(128)) << invalid;
  }
  EXPECT_NE(log.text().find("Invalid memory limit of package clockAnalog"), std::string::npos);
  // Absent again: no limit. A package registered later starts with the limit it was given.
  apply(R"({"clockAnalog":{"enabled":true},"radar":{"enabled":false,"memory_limit_mib":64}})");
  EXPECT_EQ(controller->getPackage("clockAnalog")->memoryLimit(), std::nullopt);
  apply(R"({"radar":{"enabled":true,"memory_limit_mib":64}})");
  EXPECT_EQ(controller->getPackage("radar")->memoryLimit(), std::optional<uint32_t>(64));
}

} // namespace
