#include "util/ZipUtils.h"

#include "TestSupport.h"
#include "util/Limits.h"

#include <zlib.h>

#include <cstdlib>

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

std::string binaryBytes(size_t size)
{
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (char& c : bytes) {
    state = state * 1103515245 + 12345;
    c = static_cast<char>(state >> 16);
  }
  return bytes;
}

// Builds archives with arbitrary names and kinds, as a hostile or foreign tool could.
class ArchiveBuilder {
public:
  explicit ArchiveBuilder(const std::string& path)
  {
    int code = 0;
    archive_ = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    EXPECT_NE(archive_, nullptr);
  }
  ArchiveBuilder& file(const std::string& name, const std::string& content, bool store = false)
  {
    keep_.push_back(std::make_unique<std::string>(content));
    zip_source_t* source = zip_source_buffer(archive_, keep_.back()->data(), content.size(), 0);
    const zip_int64_t index = zip_file_add(archive_, name.c_str(), source, 0);
    EXPECT_GE(index, 0) << name;
    if (store) {
      zip_set_file_compression(archive_, index, ZIP_CM_STORE, 0);
    }
    last_ = index;
    return *this;
  }
  ArchiveBuilder& link(const std::string& name, const std::string& target)
  {
    file(name, target);
    zip_file_set_external_attributes(archive_, last_, 0, ZIP_OPSYS_UNIX, (S_IFLNK | 0777) << 16);
    return *this;
  }
  ArchiveBuilder& directory(const std::string& name)
  {
    EXPECT_GE(zip_dir_add(archive_, name.c_str(), 0), 0) << name;
    return *this;
  }
  ~ArchiveBuilder() { EXPECT_EQ(zip_close(archive_), 0); }

private:
  zip_t* archive_ = nullptr;
  zip_int64_t last_ = -1;
  std::vector<std::unique_ptr<std::string>> keep_;
};

std::string le(uint64_t value, int bytes)
{
  std::string out;
  for (int i = 0; i < bytes; ++i) {
    out += static_cast<char>(i < 8 ? value >> (8 * i) : 0);
  }
  return out;
}

// One stored entry's bytes, then `count` central entries named f0, f1, ... that all point at
// them (with zip64 records beyond 65,535 entries). `claimedSize` overrides the recorded
// unpacked size of every entry.
std::string overlappingArchive(size_t count, const std::string& content, uint64_t claimedSize = 0)
{
  const uint64_t size = claimedSize != 0 ? claimedSize : content.size();
  const std::string sizes = le(crc32(0, reinterpret_cast<const Bytef*>(content.data()), content.size()), 4) +
                            le(content.size(), 4) + le(size, 4);
  std::string bytes = "PK\x03\x04" + le(20, 2) + le(0, 8) + sizes + le(2, 2) + le(0, 2) + "f0" + content;
  const uint64_t directoryOffset = bytes.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string name = "f" + std::to_string(i);
    bytes += "PK\x01\x02" + le(20, 2) + le(20, 2) + le(0, 8) + sizes + le(name.size(), 2) + le(0, 12) +
             le(0, 4) + name;
  }
  const uint64_t directorySize = bytes.size() - directoryOffset;
  if (count > 0xffff) {
    const uint64_t zip64End = bytes.size();
    bytes += "PK\x06\x06" + le(44, 8) + le(45, 2) + le(45, 2) + le(0, 8) + le(count, 8) + le(count, 8) +
             le(directorySize, 8) + le(directoryOffset, 8);
    bytes += "PK\x06\x07" + le(0, 4) + le(zip64End, 8) + le(1, 4);
    return bytes + "PK\x05\x06" + le(0, 4) + le(0xffff, 2) + le(0xffff, 2) + le(0xffffffff, 4) +
           le(0xffffffff, 4) + le(0, 2);
  }
  return bytes + "PK\x05\x06" + le(0, 4) + le(count, 2) + le(count, 2) + le(directorySize, 4) +
         le(directoryOffset, 4) + le(0, 2);
}

class ZipUtilsTest : public ::testing::Test {
protected:
  std::vector<std::string> tree(const std::string& root) const { return dir.tree(root); }

  TempDir dir;
  const std::string zipPath = dir / "archive.zip";
  const std::string out = dir / "out";
};

using Names = std::vector<std::string>;

// Why an archive call failed; "" when it succeeded.
std::string failureOf(const std::optional<Failure>& failure)
{
  return failure ? failure->what() : "";
}

} // namespace

TEST_F(ZipUtilsTest, CreateReplacesAnOldArchiveAndLeavesNothingOnFailure)
{
  writeText(zipPath, "old content that is not a zip");
  ASSERT_EQ(failureOf(ZipUtils::createArchive(zipPath, {{"only", 8, "x", ""}})), "");
  ASSERT_EQ(failureOf(ZipUtils::extractArchive(zipPath, out)), "");
  EXPECT_EQ(tree(out), Names{"only"});

  // The second entry cannot be read: no archive at all, not even the old one.
  EXPECT_NE(failureOf(ZipUtils::createArchive(
                zipPath, {{"1", 8, "one", ""}, {"2", 8, "", dir / "vanished"}, {"3", 8, "3", ""}})),
            "");
  EXPECT_FALSE(fs::exists(zipPath));

  EXPECT_NE(failureOf(ZipUtils::createArchive(dir / "missing/dir/a.zip", {{"x", 8, "x", ""}})), "");
}

TEST_F(ZipUtilsTest, ExtractionCreatesParentsDirectoriesAndDotFiles)
{
  const std::string binary = binaryBytes(200000);
  ArchiveBuilder(zipPath)
      .file("a/b/c.txt", "deep")
      .directory("dir")
      .file("pkg/.env", "SECRET=1\n")
      .file("data.bin", binary)
      .file("./dot/./x", "normalised");
  ASSERT_EQ(failureOf(ZipUtils::extractArchive(zipPath, out)), "");
  EXPECT_EQ(tree(out),
            (Names{"a", "a/b", "a/b/c.txt", "data.bin", "dir", "dot", "dot/x", "pkg", "pkg/.env"}));
  EXPECT_EQ(readText(out + "/a/b/c.txt"), "deep");
  EXPECT_EQ(readText(out + "/pkg/.env"), "SECRET=1\n");
  EXPECT_EQ(readText(out + "/data.bin"), binary);
  EXPECT_TRUE(fs::is_directory(out + "/dir"));

  const std::string bytes = readText(zipPath);
  ASSERT_EQ(failureOf(ZipUtils::extractArchiveFromMemory(bytes.data(), bytes.size(), dir / "memory")), "");
  EXPECT_EQ(tree(dir / "memory"), tree(out));
  EXPECT_NE(failureOf(ZipUtils::extractArchiveFromMemory(nullptr, 0, out)), "");
}

TEST_F(ZipUtilsTest, ExtractionOfAnArchiveMadeByTheZipTool)
{
  const std::string source = dir / "src";
  fs::create_directories(source + "/node_modules/.bin");
  fs::create_directories(source + "/node_modules/tool");
  writeText(source + "/node_modules/tool/cli.js", "#!/usr/bin/env node\n");
  writeText(source + "/.env", "A=1");
  fs::create_symlink("../tool/cli.js", source + "/node_modules/.bin/cli");
  ASSERT_EQ(std::system(("cd " + source + " && zip -qry " + zipPath + " .").c_str()), 0);

  ASSERT_EQ(failureOf(ZipUtils::extractArchive(zipPath, out)), "");
  EXPECT_EQ(readText(out + "/.env"), "A=1");
  ASSERT_TRUE(fs::is_symlink(out + "/node_modules/.bin/cli"));
  EXPECT_EQ(fs::read_symlink(out + "/node_modules/.bin/cli"), "../tool/cli.js");
  EXPECT_EQ(readText(out + "/node_modules/.bin/cli"), "#!/usr/bin/env node\n");
}

TEST_F(ZipUtilsTest, EmptyArchiveCreatesOnlyTheDestination)
{
  ASSERT_EQ(failureOf(ZipUtils::createArchive(zipPath, {})), "");
  ASSERT_EQ(failureOf(ZipUtils::extractArchive(zipPath, out + "/nested")), "");
  EXPECT_EQ(tree(out), (Names{"nested"}));
}

TEST_F(ZipUtilsTest, EntriesReachingOutsideOrRepeatedAreRefusedBeforeAnythingIsWritten)
{
  std::vector<std::pair<std::string, std::function<void(ArchiveBuilder&)>>> cases;
  for (const std::string name : {"../escaped", "/tmp/absolute-entry", "ok/../../escaped", "..", "a/.."}) {
    cases.emplace_back(
        name, [name](ArchiveBuilder& zip) { zip.file("first", "1").file(name, "evil").file("last", "3"); });
  }
  for (const auto& [name, target] : std::vector<std::pair<std::string, std::string>>{{"l", ".."},
                                                                                     {"l", "/etc"},
                                                                                     {"a/l", "../../x"},
                                                                                     {"a/l", "b/../../.."},
                                                                                     {"a/b/l", "x/../../.."},
                                                                                     {"l", ""}}) {
    cases.emplace_back(name + " -> " + target,
                       [name, target](ArchiveBuilder& zip) { zip.file("first", "1").link(name, target); });
  }
  // An entry below a link of the same archive, even one pointing inside.
  cases.emplace_back("through a link", [](ArchiveBuilder& zip) {
    zip.directory("real/").link("l", "real").file("l/x", "through");
  });
  cases.emplace_back("a/b twice",
                     [](ArchiveBuilder& zip) { zip.file("a/b", "first").file("a/./b", "second"); });
  for (const auto& [what, build] : cases) {
    SCOPED_TRACE(what);
    {
      ArchiveBuilder zip(zipPath);
      build(zip);
    }
    EXPECT_NE(failureOf(ZipUtils::extractArchive(zipPath, out + "/dest")), "");
    for (const std::string& written : tree(out)) {
      EXPECT_EQ(written, "dest");
    }
    fs::remove_all(out);
  }
  EXPECT_FALSE(fs::exists("/tmp/absolute-entry"));
}

TEST_F(ZipUtilsTest, NothingIsWrittenThroughALinkAlreadyInTheDestination)
{
  // As a directory on the way or as the file itself.
  const std::string outside = dir / "outside";
  fs::create_directories(outside);
  fs::create_directories(out);
  fs::create_directory_symlink(outside, out + "/sub");
  fs::create_symlink(outside + "/victim", out + "/file");
  ArchiveBuilder(zipPath).file("sub/x", "evil");
  EXPECT_NE(failureOf(ZipUtils::extractArchive(zipPath, out)), "");
  ArchiveBuilder(zipPath).file("file", "evil");
  EXPECT_NE(failureOf(ZipUtils::extractArchive(zipPath, out)), "");
  EXPECT_EQ(tree(outside), Names{});
}

TEST_F(ZipUtilsTest, EntryLargerThanItsRecordedSizeIsCutOffAndFails)
{
  ArchiveBuilder(zipPath).file("small", "ok").file("bomb", std::string(100000, 'z'), true);
  std::string bytes = readText(zipPath);
  // Record 10 bytes as the uncompressed size in the local and central headers of "bomb".
  auto patchSize = [&](const std::string& signature, size_t sizeOffset, size_t nameOffset) {
    for (size_t at = bytes.find(signature); at != std::string::npos; at = bytes.find(signature, at + 1)) {
      if (bytes.compare(at + nameOffset, 4, "bomb") == 0) {
        bytes.replace(at + sizeOffset, 4, std::string("\x0a\x00\x00\x00", 4));
      }
    }
  };
  patchSize(std::string("PK\x03\x04", 4), 22, 30);
  patchSize(std::string("PK\x01\x02", 4), 24, 46);
  writeText(zipPath, bytes);

  EXPECT_EQ(ZipUtils::uncompressedSize(zipPath), 12);
  EXPECT_NE(failureOf(ZipUtils::extractArchive(zipPath, out)), "");
  EXPECT_LE(fs::exists(out + "/bomb") ? fs::file_size(out + "/bomb") : 0, 10u);
}

TEST_F(ZipUtilsTest, UncompressedSizeSumsTheEntriesAndUnreadableArchivesOrDestinationsFail)
{
  ArchiveBuilder(zipPath)
      .file("a", std::string(1000, 'a'))
      .file("b", std::string(234567, 'b'))
      .directory("d");
  EXPECT_EQ(ZipUtils::uncompressedSize(zipPath), 235567);
  EXPECT_EQ(ZipUtils::uncompressedSize(dir / "missing.zip"), -1);
  writeText(dir / "text", "not a zip");
  EXPECT_EQ(ZipUtils::uncompressedSize(dir / "text"), -1);
  EXPECT_NE(failureOf(ZipUtils::extractArchive(dir / "text", out)), "");
  EXPECT_NE(failureOf(ZipUtils::extractArchive(zipPath, dir / "text/sub")), "");
}

TEST_F(ZipUtilsTest, CreationAndExtractionFailCleanlyWhenTheDiskFills)
{
  writeText(dir / "big", binaryBytes(1 << 20));
  ArchiveBuilder(zipPath).file("small", "ok").file("big", binaryBytes(1 << 20));
  std::optional<Failure> extracted;
  std::optional<Failure> created;
  withFileSizeLimit(64 * 1024, [&] {
    extracted = ZipUtils::extractArchive(zipPath, out);
    created = ZipUtils::createArchive(dir / "new.zip", {{"big", 8, "", dir / "big"}});
  });
  ASSERT_TRUE(extracted && created);
  // The storage failed, not the archive: Orvane's own failure.
  EXPECT_EQ(extracted->kind(), Failure::Kind::Io) << extracted->what();
  EXPECT_EQ(readText(out + "/small"), "ok");
  EXPECT_EQ(created->kind(), Failure::Kind::Io) << created->what();
  EXPECT_FALSE(fs::exists(dir / "new.zip"));
}

TEST_F(ZipUtilsTest, OverlappingTooManyOrTooLargeEntriesAreRefusedBeforeAnythingIsWritten)
{
  TestSupport::LogCapture log;
  const std::string data = binaryBytes(1000);
  // The same archive with its entries one after another is fine.
  writeText(zipPath, overlappingArchive(1, data));
  ASSERT_EQ(failureOf(ZipUtils::extractArchive(zipPath, out)), "");
  EXPECT_EQ(readText(out + "/f0"), data);
  fs::remove_all(out);

  struct Case {
    std::string bytes;
    std::string reason;
    Failure::Kind kind;
  };
  const Case cases[] = {
      {overlappingArchive(200, data), "entries overlap", Failure::Kind::BadInput},
      {overlappingArchive(Limits::maxArchiveEntries + 1, ""),
       std::to_string(Limits::maxArchiveEntries + 1) + " entries exceed the limit of " +
           std::to_string(Limits::maxArchiveEntries),
       Failure::Kind::TooLarge},
      {overlappingArchive(1, data, Limits::maxArchiveUnpackedBytes + 1),
       "unpacked size exceeds the limit of " + std::to_string(Limits::maxArchiveUnpackedBytes),
       Failure::Kind::TooLarge},
  };
  for (const Case& c : cases) {
    writeText(zipPath, c.bytes);
    for (const std::optional<Failure>& failure :
         {ZipUtils::extractArchive(zipPath, out),
          ZipUtils::extractArchiveFromMemory(c.bytes.data(), c.bytes.size(), out)}) {
      ASSERT_TRUE(failure) << c.reason;
      EXPECT_EQ(failure->what(), "Refusing archive: " + c.reason);
      EXPECT_EQ(failure->kind(), c.kind) << c.reason;
    }
    EXPECT_EQ(tree(out), Names{}) << c.reason;
  }
  // The caller, which knows what the archive was for, logs the failure.
  EXPECT_EQ(log.text(), "");
}
