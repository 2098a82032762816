#include "camera/ParamsManager2.h"
#include "util/FileUtils.h"
#include "util/Logger.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace {

// A manager without platform or VAPIX behind it: the cache is seeded directly and VAPIX
// writes are recorded.
class RecordingParams : public ParamsManager2 {
public:
  RecordingParams() : ParamsManager2("orvane", nullptr) {}
  void seed(const std::string& key, const std::string& value) { cache.set(key, value); }
  bool setVapixParameter(const std::string& name, const std::string& value) override
  {
    writes.emplace_back(name, value);
    return true;
  }
  std::vector<std::pair<std::string, std::string>> writes;
};

class TempDir {
public:
  TempDir()
  {
    char pattern[] = "/tmp/params-test-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string path;
};

} // namespace

TEST(ParamsManager2Test, ListAnswerYieldsTheFirstLinesTrimmedValue)
{
  std::string value = "untouched";
  EXPECT_TRUE(ParamsManager2::parseListValue("root.Orvane.LogLevel=info\n", value));
  EXPECT_EQ(value, "info");
  EXPECT_TRUE(
      ParamsManager2::parseListValue("root.Brand.Brand= Brandname \r\nroot.Brand.ProdNbr=P1\n", value));
  EXPECT_EQ(value, "Brandname");
  EXPECT_TRUE(ParamsManager2::parseListValue("root.A.B=x=y\n", value));
  EXPECT_EQ(value, "x=y");
  EXPECT_TRUE(ParamsManager2::parseListValue("root.Orvane.NodejsLocation=\n", value));
  EXPECT_EQ(value, "");

  value = "untouched";
  EXPECT_FALSE(ParamsManager2::parseListValue("root.Orvane.LogLevel=info", value));
  EXPECT_FALSE(ParamsManager2::parseListValue("# Error: no such group\n", value));
  EXPECT_FALSE(ParamsManager2::parseListValue("", value));
  EXPECT_EQ(value, "untouched");
}

TEST(ParamsManager2Test, UpdateBodyEncodesNameAndTrimmedValue)
{
  EXPECT_EQ(ParamsManager2::updateBody("orvane.Version", " 3.1.10\n"), "action=update&orvane.Version=3.1.10");
  EXPECT_EQ(ParamsManager2::updateBody("orvane.PackageConfigurations", "{\"a&b\":{\"enabled\": true}}"),
            "action=update&orvane.PackageConfigurations=%7B%22a%26b%22%3A%7B%22enabled%22%3A%20true%7D%7D");
  EXPECT_EQ(ParamsManager2::updateBody("orvane.X", "k=v"), "action=update&orvane.X=k%3Dv");
}

TEST(ParamsManager2Test, CallbackForAnUnknownNameIsRefusedWithALogLine)
{
  RecordingParams params;
  Logger::setConsoleOutput(true);
  testing::internal::CaptureStdout();
  bool registered = params.registerCallback("NeverAdded", [](const char*, const char*, void*) {});
  std::string output = testing::internal::GetCapturedStdout();
  Logger::setConsoleOutput(false);
  EXPECT_FALSE(registered);
  EXPECT_NE(output.find("[ Error   ] Unable to register callback for unknown parameter: \"NeverAdded\""),
            std::string::npos)
      << output;
}

TEST(ParamsManager2Test, SaveWritesNameValueLinesInKeyOrderAndLoadWritesThemBack)
{
  TempDir dir;
  RecordingParams params;
  params.seed("Version", "3.1.10");
  params.seed("Enabled", "1");
  params.seed("NodejsLocation", "");
  const std::string file = dir.path + "/params.txt";
  params.saveToFile(file);
  EXPECT_EQ(FileUtils::readFile(file + ""), "Enabled=1\nNodejsLocation=\nVersion=3.1.10");

  ASSERT_TRUE(
      FileUtils::writeFile(file, "orvane.LogLevel=debug\nno equals sign\n\norvane.Empty=\na=b=c\n", false));
  params.loadFromFile(file);
  EXPECT_EQ(params.writes, (std::vector<std::pair<std::string, std::string>>{
                               {"orvane.LogLevel", "debug"}, {"orvane.Empty", ""}, {"a", "b=c"}}));

  RecordingParams empty;
  ASSERT_TRUE(FileUtils::writeFile(file, "stale", false));
  empty.saveToFile(file);
  EXPECT_EQ(FileUtils::readFile(file), "");
}
