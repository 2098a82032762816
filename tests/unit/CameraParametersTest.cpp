#include "camera/CameraParameters.h"

#include "TestSupport.h"

using namespace TestSupport;

TEST(CameraParametersTest, ListAnswerYieldsTheFirstLinesTrimmedValue)
{
  EXPECT_EQ(CameraParameters::parseListValue("root.Orvane.LogLevel=info\n"), "info");
  EXPECT_EQ(CameraParameters::parseListValue("root.Brand.Brand= Brandname \r\nroot.Brand.ProdNbr=P1\n"),
            "Brandname");
  EXPECT_EQ(CameraParameters::parseListValue("root.A.B=x=y\n"), "x=y");

  EXPECT_EQ(CameraParameters::parseListValue("root.Orvane.LogLevel=info"), std::nullopt);
  EXPECT_EQ(CameraParameters::parseListValue("# Error: no such group\n"), std::nullopt);
  EXPECT_EQ(CameraParameters::parseListValue(""), std::nullopt);
}

TEST(CameraParametersTest, UpdateBodyEncodesNameAndTrimmedValue)
{
  EXPECT_EQ(CameraParameters::updateBody("orvane.Version", " 3.1.10\n"),
            "action=update&orvane.Version=3.1.10");
  EXPECT_EQ(CameraParameters::updateBody("orvane.PackageConfigurations", "{\"a&b\":{\"enabled\": true}}"),
            "action=update&orvane.PackageConfigurations=%7B%22a%26b%22%3A%7B%22enabled%22%3A%20true%7D%7D");
}

TEST(CameraParametersTest, SaveWritesNameValueLinesInKeyOrderAndLoadWritesThemBack)
{
  TempDir dir;
  FakeParams params;
  params.seed("Version", "3.1.10");
  params.seed("Enabled", "1");
  params.seed("NodejsLocation", "");
  const std::string file = dir / "params.txt";
  params.saveToFile(file);
  EXPECT_EQ(FileUtils::readFile(file + ""), "Enabled=1\nNodejsLocation=\nVersion=3.1.10");

  ASSERT_TRUE(
      FileUtils::writeFile(file, "orvane.LogLevel=debug\nno equals sign\n\norvane.Empty=\na=b=c\n", false));
  params.loadFromFile(file);
  const std::vector<std::pair<std::string, std::string>> lines = {
      {"orvane.LogLevel", "debug"}, {"orvane.Empty", ""}, {"a", "b=c"}};
  EXPECT_EQ(params.writes, lines);

  // A refused line is logged, and the lines after it are still written.
  params.writes.clear();
  params.refuseWrites = true;
  LogCapture log;
  params.loadFromFile(file);
  EXPECT_EQ(params.writes, lines);
  EXPECT_TRUE(log.has("[ Error   ] Unable to set parameter \"orvane.Empty\" to \"\" - refused"));

  FakeParams empty;
  ASSERT_TRUE(FileUtils::writeFile(file, "stale", false));
  empty.saveToFile(file);
  EXPECT_EQ(FileUtils::readFile(file), "");
}
