#include "packages/PackageLock.h"
#include "packages/PackageName.h"

#include "TestSupport.h"

#include <atomic>

TEST(PackageInstallRulesTest, PackageNamesAllowLettersDigitsDashAndUnderscoreOnly)
{
  EXPECT_TRUE(isValidPackageName("my-app_2"));
  EXPECT_TRUE(isValidPackageName("Z"));
  for (const char* name :
       {"", "my.app", "my app", "my,app", ".", "..", "a/b", "a\"b", "caf\xc3\xa9", "a$b"}) {
    EXPECT_FALSE(isValidPackageName(name)) << name;
  }
}

TEST(PackageInstallRulesTest, LocksOfOnePackageNameWaitForEachOtherAndOtherNamesDoNot)
{
  std::atomic<bool> secondHolds{false};
  std::thread second;
  {
    PackageLock first("clock");
    {
      PackageLock other("clockAnalog");
    }
    second = std::thread([&secondHolds]() {
      PackageLock lock("clock");
      secondHolds = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(secondHolds.load());
  }
  second.join();
  EXPECT_TRUE(secondHolds.load());
}
