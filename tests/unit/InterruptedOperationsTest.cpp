#include "packages/InterruptedOperations.h"

#include "TestSupport.h"
#include "packages/IntentRecord.h"
#include "packages/PackageMoves.h"
#include "packages/PackagePaths.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace {

// A package root with one operation's staging directory, laid out as a crash at some step
// of that operation leaves it.
class InterruptedOperationsTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    root = PackagePaths::flashPackageRoot();
    ASSERT_TRUE(PackagePaths::ensureStagingDirectory(root));
    work = PackagePaths::stagingDirectory(root) + "op1/";
    makeDirectories(work);
  }

  // victim 1 at `directory` with the local data {state.txt, images/a.jpg}.
  void oldVersion(const std::string& directory)
  {
    makeDirectories(directory + "/localdata/images");
    writeText(directory + "/main.js", "v1");
    writeText(directory + "/obsolete.js", "v1 only");
    writeText(directory + "/localdata/state.txt", "old state");
    writeText(directory + "/localdata/images/a.jpg", "jpeg");
  }

  // victim 2 unpacked in the staging directory, its own local data set aside as "shipped".
  void newVersion()
  {
    makeDirectories(work + "package");
    writeText(work + "package/main.js", "v2");
    makeDirectories(work + "shipped/images");
    writeText(work + "shipped/state.txt", "shipped state");
    writeText(work + "shipped/images/b.jpg", "shipped jpeg");
  }

  void record(IntentRecord::Operation operation, const std::string& target, const std::string& old = "")
  {
    IntentRecord intent;
    intent.operation = operation;
    intent.work = work;
    intent.target = target;
    intent.old = old;
    ASSERT_TRUE(writeIntentRecord(intent));
  }

  // The old data with the shipped entries it lacked: what a finished re-install holds.
  void expectNewVersionWithOldData(const std::string& directory)
  {
    EXPECT_EQ(readText(directory + "/main.js"), "v2");
    EXPECT_FALSE(exists(directory + "/obsolete.js"));
    EXPECT_EQ(readText(directory + "/localdata/state.txt"), "old state");
    EXPECT_EQ(readText(directory + "/localdata/images/a.jpg"), "jpeg");
    EXPECT_EQ(readText(directory + "/localdata/images/b.jpg"), "shipped jpeg");
  }

  void expectStagingEmpty()
  {
    EXPECT_EQ(listing.tree(PackagePaths::stagingDirectory(root)), std::vector<std::string>());
  }

  StorageLayout layout;
  TempDir listing; // lists trees elsewhere through tree(root)
  std::string root;
  std::string work;
};

TEST_F(InterruptedOperationsTest, AReinstallCutAtAnyStepEndsAsTheNewVersionWithAllOfTheOldData)
{
  // Each step leaves the tree one move further; start-up must finish from any of them.
  for (int movesDone = 0; movesDone <= 4; ++movesDone) {
    SCOPED_TRACE("moves done: " + std::to_string(movesDone));
    SetUp();
    const std::string target = root + "victim";
    oldVersion(target);
    newVersion();
    record(IntentRecord::Operation::Install, target, target);
    if (movesDone >= 1) {
      ASSERT_EQ(rename(target.c_str(), (work + "old").c_str()), 0);
    }
    if (movesDone >= 2) {
      ASSERT_EQ(rename((work + "old/localdata").c_str(), (work + "package/localdata").c_str()), 0);
    }
    if (movesDone >= 3) {
      ASSERT_EQ(
          rename((work + "shipped/images/b.jpg").c_str(), (work + "package/localdata/images/b.jpg").c_str()),
          0);
    }
    if (movesDone >= 4) {
      ASSERT_EQ(rename((work + "package").c_str(), target.c_str()), 0);
    }

    recoverInterruptedOperations();

    expectNewVersionWithOldData(target);
    expectStagingEmpty();
    FileUtils::removeTree(target);
  }
}

TEST_F(InterruptedOperationsTest, AMoveToTheOtherStorageCutAtAnyStepLeavesOneWholeCopy)
{
  for (int movesDone = 0; movesDone <= 2; ++movesDone) {
    SCOPED_TRACE("moves done: " + std::to_string(movesDone));
    SetUp();
    const std::string old = root + "victim";
    const std::string target = layout.root() + "/other/victim";
    makeDirectories(layout.root() + "/other");
    oldVersion(old);
    newVersion();
    record(IntentRecord::Operation::Install, target, old);
    if (movesDone >= 1) {
      // Cut while copying the data across: the copy is partial.
      makeDirectories(work + "copy/images");
      writeText(work + "copy/state.txt", "old st");
    }
    if (movesDone >= 2) {
      FileUtils::removeTree(work + "copy");
      ASSERT_TRUE(FileUtils::copyTree(old + "/localdata", work + "package/localdata"));
      ASSERT_TRUE(FileUtils::removeTree(work + "shipped/images/b.jpg"));
      writeText(work + "package/localdata/images/b.jpg", "shipped jpeg");
      ASSERT_EQ(rename((work + "package").c_str(), target.c_str()), 0);
    }

    recoverInterruptedOperations();

    expectNewVersionWithOldData(target);
    EXPECT_FALSE(exists(old)) << "the earlier copy stays on the storage that is searched first";
    expectStagingEmpty();
    FileUtils::removeTree(target);
  }
}

TEST_F(InterruptedOperationsTest, ADataImportCutAtAnyStepEndsWithExactlyTheImportedData)
{
  for (int movesDone = 0; movesDone <= 2; ++movesDone) {
    SCOPED_TRACE("moves done: " + std::to_string(movesDone));
    SetUp();
    const std::string target = root + "victim/localdata";
    oldVersion(root + "victim");
    makeDirectories(work + "localdata");
    writeText(work + "localdata/settings.json", "{}");
    record(IntentRecord::Operation::DataImport, target);
    if (movesDone >= 1) {
      ASSERT_EQ(rename(target.c_str(), (work + "old").c_str()), 0);
    }
    if (movesDone >= 2) {
      ASSERT_EQ(rename((work + "localdata").c_str(), target.c_str()), 0);
    }

    recoverInterruptedOperations();

    EXPECT_EQ(listing.tree(target), std::vector<std::string>{"settings.json"});
    EXPECT_EQ(readText(root + "victim/main.js"), "v1");
    expectStagingEmpty();
    FileUtils::removeTree(root + "victim");
  }
}

TEST_F(InterruptedOperationsTest, AReinstallThatFailsAfterSettingTheOldOneAsideRollsBackWhole)
{
  const std::string target = root + "victim";
  oldVersion(target);
  newVersion();
  writeText(work + "package/localdata", "a file where the data directory belongs");
  record(IntentRecord::Operation::Install, target, target);
  PackageMoves moves(IntentRecord{IntentRecord::Operation::Install, work, target, target});

  EXPECT_THROW(moves.complete(), std::runtime_error);
  EXPECT_FALSE(exists(target)) << "the failure comes after the earlier installation was set aside";
  EXPECT_TRUE(moves.rollBack());

  EXPECT_EQ(readText(target + "/main.js"), "v1");
  EXPECT_EQ(listing.tree(target + "/localdata"), (std::vector<std::string>{"images", "images/a.jpg", "state.txt"}));
}

TEST_F(InterruptedOperationsTest, OnlyWhatHoldsNoOnlyCopyIsRemoved)
{
  // No record: an unpacked archive, nothing moved yet. Loose files: uploads, temporary files.
  makeDirectories(work + "package");
  writeText(work + "package/main.js", "unpacked");
  writeText(PackagePaths::stagingDirectory(root) + "MPFD_Temp_upload", "zip");
  // A record that cannot be completed: the package it imports into is gone. Its directory
  // holds the only copy of the data and must stay.
  const std::string kept = PackagePaths::stagingDirectory(root) + "op2/";
  makeDirectories(kept + "old");
  makeDirectories(kept + "localdata");
  writeText(kept + "old/state.txt", "only copy");
  IntentRecord intent;
  intent.operation = IntentRecord::Operation::DataImport;
  intent.work = kept;
  intent.target = root + "gone/localdata";
  ASSERT_TRUE(writeIntentRecord(intent));
  // A settings write cut short beside the settings file, and the package's own hidden file.
  oldVersion(root + "victim");
  writeText(root + "victim/localdata/.settings.json.tmp1234.0", "{\"half");
  writeText(root + "victim/localdata/.hidden", "mine");

  recoverInterruptedOperations();

  EXPECT_EQ(listing.tree(PackagePaths::stagingDirectory(root)),
            (std::vector<std::string>{"op2", "op2/intent", "op2/localdata", "op2/old", "op2/old/state.txt"}));
  EXPECT_EQ(listing.tree(root + "victim/localdata"),
            (std::vector<std::string>{".hidden", "images", "images/a.jpg", "state.txt"}));
}

TEST_F(InterruptedOperationsTest, ARemovalRecordedBeforeItsRenameIsCarriedOut)
{
  oldVersion(root + "victim");
  record(IntentRecord::Operation::Removal, root + "victim");

  recoverInterruptedOperations();

  EXPECT_FALSE(exists(root + "victim"));
  expectStagingEmpty();
}

} // namespace
