#include "camera/CameraInfo.h"

#include "TestSupport.h"

#include <stdexcept>

namespace {

// Answers VAPIX reads from a table; a missing name is a failed read.
class TableParams : public TestSupport::FakeParams {
public:
  explicit TableParams(std::map<std::string, std::string> table) : table(std::move(table)) {}

  std::string getVapixParameter(const std::string& name) override
  {
    reads.push_back(name);
    auto found = table.find(name);
    if (found == table.end()) {
      throw Failure(Failure::Kind::Io, "no " + name);
    }
    return found->second;
  }

  std::map<std::string, std::string> table;
  std::vector<std::string> reads;
};

std::map<std::string, std::string> fullCamera()
{
  return {{"Properties.System.SerialNumber", "ACCC8E000001"},
          {"Properties.Firmware.Version", "11.9.60"},
          {"Brand.Brand", "Brandname"},
          {"Brand.ProdFullName", "Full Camera Name"},
          {"Brand.ProdNbr", "P1234"},
          {"Brand.ProdShortName", "Short"},
          {"Brand.ProdType", "Network Camera"},
          {"Properties.System.Soc", "Soc 1"}};
}

} // namespace

TEST(CameraInfoTest, ReadsEveryFieldOnceInOrder)
{
  TableParams params(fullCamera());
  const CameraInfo info = readCameraInfo(params);
  EXPECT_EQ(info.serialNumber, "ACCC8E000001");
  EXPECT_EQ(info.firmwareVersion, "11.9.60");
  EXPECT_EQ(info.brand, "Brandname");
  EXPECT_EQ(info.productFullName, "Full Camera Name");
  EXPECT_EQ(info.productNumber, "P1234");
  EXPECT_EQ(info.productShortName, "Short");
  EXPECT_EQ(info.productType, "Network Camera");
  EXPECT_EQ(info.soc, "Soc 1");
  EXPECT_EQ(params.reads,
            (std::vector<std::string>{"Properties.System.SerialNumber", "Properties.Firmware.Version",
                                      "Brand.Brand", "Brand.ProdFullName", "Brand.ProdNbr",
                                      "Brand.ProdShortName", "Brand.ProdType", "Properties.System.Soc"}));
}

TEST(CameraInfoTest, MissingSerialOrFirmwareFailsAfterAllReadsAndOtherGapsAreLogged)
{
  for (const char* essential : {"Properties.Firmware.Version", "Properties.System.SerialNumber"}) {
    auto table = fullCamera();
    table.erase(essential);
    TableParams params(table);
    TestSupport::LogCapture log;
    try {
      readCameraInfo(params);
      ADD_FAILURE() << "no error without " << essential;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "Camera info reading failed.");
    }
    EXPECT_EQ(params.reads.size(), 8u);
    EXPECT_TRUE(log.has(std::string("[ Error   ] no ") + essential));
  }

  auto table = fullCamera();
  table.erase("Properties.System.Soc");
  TableParams params(table);
  TestSupport::LogCapture log;
  EXPECT_EQ(readCameraInfo(params).soc, "");
  EXPECT_TRUE(log.has("[ Error   ] no Properties.System.Soc"));
}
