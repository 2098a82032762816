#include "http/CameraList.h"

#include <gtest/gtest.h>

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

// An empty answer and announced names that try to break out of the list are checked end to
// end, through the tool beside the binary.
