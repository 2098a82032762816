#include "packages/KeptVersion.h"
#include "packages/PackagePaths.h"
#include "packages/Probation.h"

#include "TestSupport.h"

using namespace TestSupport;

namespace {

PackageStatus statusOf(PackageStatus::State state, std::optional<int64_t> uptime = std::nullopt,
                       const std::string& reason = "")
{
  PackageStatus status;
  status.state = state;
  status.uptimeSeconds = uptime;
  status.reason = reason;
  return status;
}

TEST(ProbationTest, RollsBackWhatCannotStartOrCrashLoopsAndPassesOnlyAStableRun)
{
  const std::chrono::milliseconds stable(60000);
  std::string reason;
  EXPECT_EQ(judgeProbation(statusOf(PackageStatus::State::CannotStart, std::nullopt, "no main.js"), stable, reason),
            ProbationVerdict::RollBack);
  EXPECT_EQ(reason, "cannot start: no main.js");
  EXPECT_EQ(judgeProbation(statusOf(PackageStatus::State::CrashLoop, std::nullopt, "5 runs in a row ended within 10.0 s"),
                           stable, reason),
            ProbationVerdict::RollBack);
  EXPECT_EQ(reason, "5 runs in a row ended within 10.0 s");
  // Restarting between crashes, stopped while an install holds it, or running but not yet for
  // long enough: still on probation.
  for (const PackageStatus& waiting :
       {statusOf(PackageStatus::State::Restarting), statusOf(PackageStatus::State::Stopped),
        statusOf(PackageStatus::State::Running, 59), statusOf(PackageStatus::State::Running)}) {
    EXPECT_EQ(judgeProbation(waiting, stable, reason), ProbationVerdict::Continue);
  }
  EXPECT_EQ(judgeProbation(statusOf(PackageStatus::State::Running, 60), stable, reason), ProbationVerdict::Passed);
}

class KeptVersions : public ::testing::Test {
protected:
  KeptVersions()
  {
    makeDirectories(root + "pkg/localdata");
    writeText(root + "pkg/main.js", "v2");
    writeText(root + "pkg/localdata/state", "written by v2");
    makeDirectories(previous + "package");
    writeText(previous + "package/main.js", "v1");
    makeDirectories(root + "data-before");
    writeText(root + "data-before/state", "written by v1");
    record.name = "pkg";
    record.fromVersion = "2";
    record.toVersion = "1";
    record.untilMs = 1234;
  }

  TempDir dir;
  const std::string root = dir.path() + "/packages/";
  const std::string previous = dir.path() + "/staging/";
  ProbationRecord record;
};

TEST_F(KeptVersions, ARollbackPutsTheKeptFilesBackWithTheKeptDataOrElseTheCurrentData)
{
  const std::optional<Failure> failure =
      KeptVersion::keep(root, record, previous + "package", root + "data-before", true);
  ASSERT_FALSE(failure) << failure->what();
  EXPECT_TRUE(record.dataKept);
  const std::optional<ProbationRecord> loaded = KeptVersion::load(root, "pkg");
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->fromVersion, "2");
  EXPECT_EQ(loaded->untilMs, 1234);
  EXPECT_TRUE(loaded->dataKept);

  EXPECT_EQ(KeptVersion::restore(root, "pkg", root + "pkg"), "restored");
  EXPECT_EQ(readText(root + "pkg/main.js"), "v1");
  EXPECT_EQ(readText(root + "pkg/localdata/state"), "written by v1");
  EXPECT_FALSE(KeptVersion::load(root, "pkg"));
  EXPECT_FALSE(exists(PackagePaths::keptDirectory(root) + "pkg"));
}

TEST_F(KeptVersions, DataDroppedByAnImportLeavesTheCurrentDataInPlaceOnARollback)
{
  const std::optional<Failure> failure =
      KeptVersion::keep(root, record, previous + "package", root + "data-before", true);
  ASSERT_FALSE(failure) << failure->what();
  KeptVersion::dropData(root, "pkg");
  EXPECT_FALSE(KeptVersion::load(root, "pkg")->dataKept);
  EXPECT_EQ(KeptVersion::restore(root, "pkg", root + "pkg"), "kept_current");
  EXPECT_EQ(readText(root + "pkg/main.js"), "v1");
  EXPECT_EQ(readText(root + "pkg/localdata/state"), "written by v2");
  // Nothing left to restore a second time.
  EXPECT_EQ(KeptVersion::restore(root, "pkg", root + "pkg"), "");
  EXPECT_EQ(readText(root + "pkg/main.js"), "v1");
}

} // namespace
