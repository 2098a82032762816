#include "http/CameraList.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

TEST(CameraListTest, BrowseArgumentsRunTheToolOfTheGivenDirectory)
{
  EXPECT_EQ(CameraList::browseArguments("/usr/local/packages/orvane/tools/"),
            (std::vector<std::string>{"/usr/local/packages/orvane/tools/mDNSClient", "-t", "2", "-p", "-s",
                                      "_axis-video._tcp.local"}));
}

TEST(CameraListTest, KeepsCamerasByNameInAnyCaseAndDropsLinkLocalAddresses)
{
  const std::string output = "AXIS M3106 - B8A44F000001._axis-video._tcp.local;192.168.1.20;80\n"
                             "axis-p1448;169.254.3.4\n"
                             "Printer;192.168.1.30\n"
                             "only one field\n"
                             "\n"
                             "Front Axis door;10.0.0.7\n"
                             "AxIs;169.254\n";
  EXPECT_EQ(CameraList::fromToolOutput(output),
            "{\"camera_list\":["
            "{\"name\":\"AXIS M3106 - B8A44F000001._axis-video._tcp.local\",\"ip\":\"192.168.1.20\"},"
            "{\"name\":\"Front Axis door\",\"ip\":\"10.0.0.7\"},"
            "{\"name\":\"AxIs\",\"ip\":\"169.254\"}]}");
}

TEST(CameraListTest, NothingFoundGivesAnEmptyList)
{
  EXPECT_EQ(CameraList::fromToolOutput(""), "{\"camera_list\":[]}");
  EXPECT_EQ(CameraList::fromToolOutput("no separator here\nPrinter;1.2.3.4\n"), "{\"camera_list\":[]}");
}

TEST(CameraListTest, AnnouncedTextCannotBreakTheList)
{
  const std::string name = "axis \"cam\",\"ip\":\"6.6.6.6\"} \\ \x01\t/";
  const std::string address = "10.0.0.1\"]}";
  const std::string list = CameraList::fromToolOutput(name + ";" + address + "\naxis b;10.0.0.2\n");

  rapidjson::Document document;
  document.Parse(list.c_str(), list.size());
  ASSERT_FALSE(document.HasParseError()) << list;
  const auto& cameras = document["camera_list"];
  ASSERT_TRUE(cameras.IsArray());
  ASSERT_EQ(cameras.Size(), 2u);
  EXPECT_EQ(std::string(cameras[0]["name"].GetString()), name);
  EXPECT_EQ(std::string(cameras[0]["ip"].GetString()), address);
  EXPECT_EQ(cameras[0].MemberCount(), 2u);
  EXPECT_EQ(std::string(cameras[1]["ip"].GetString()), "10.0.0.2");
}
