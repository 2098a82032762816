#include "camera/CameraParameters.h"

#include "TestSupport.h"

using namespace TestSupport;

TEST(CameraParametersTest, ListAnswerYieldsTheFirstLinesTrimmedValue)
{
  std::string value = "untouched";
  EXPECT_TRUE(CameraParameters::parseListValue("root.Orvane.LogLevel=info\n", value));
  EXPECT_EQ(value, "info");
  EXPECT_TRUE(
      CameraParameters::parseListValue("root.Brand.Brand= Brandname \r\nroot.Brand.ProdNbr=P1\n", value));
  EXPECT_EQ(value, "Brandname");
  EXPECT_TRUE(CameraParameters::parseListValue("root.A.B=x=y\n", value));
  EXPECT_EQ(value, "x=y");

  value = "untouched";
  EXPECT_FALSE(CameraParameters::parseListValue("root.Orvane.LogLevel=info", value));
  EXPECT_FALSE(CameraParameters::parseListValue("# Error: no such group\n", value));
  EXPECT_FALSE(CameraParameters::parseListValue("", value));
  EXPECT_EQ(value, "untouched");
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
  EXPECT_EQ(params.writes, (std::vector<std::pair<std::string, std::string>>{
                               {"orvane.LogLevel", "debug"}, {"orvane.Empty", ""}, {"a", "b=c"}}));

  FakeParams empty;
  ASSERT_TRUE(FileUtils::writeFile(file, "stale", false));
  empty.saveToFile(file);
  EXPECT_EQ(FileUtils::readFile(file), "");
}
