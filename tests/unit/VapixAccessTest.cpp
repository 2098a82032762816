#include "camera/VapixAccess.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(VapixAccessTest, PortIsTheLeadingNumberOfTheTrimmedValue)
{
  EXPECT_EQ(VapixAccess::parsePort("80"), 80u);
  EXPECT_EQ(VapixAccess::parsePort("  80 \n"), 80u);
  EXPECT_EQ(VapixAccess::parsePort("8080abc"), 8080u);
  EXPECT_EQ(VapixAccess::parsePort("65535"), 65535u);
}

TEST(VapixAccessTest, ValueThatIsNoPortIsRefusedWithTheTrimmedValue)
{
  for (const char* text : {"abc", " http ", "", "-80", "0", "65536", "99999999999999999999"}) {
    try {
      VapixAccess::parsePort(text);
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const std::runtime_error& error) {
      std::string trimmed = text;
      trimmed.erase(0, trimmed.find_first_not_of(' '));
      trimmed.erase(trimmed.find_last_not_of(' ') + 1);
      EXPECT_EQ(error.what(), "Invalid parameter \"System.BoaPort\" value: " + trimmed);
    }
  }
}
