#include "util/FileUtils.h"
#include "util/StringUtils.h"

#include "TestSupport.h"

#include <dirent.h>

#include <array>
#include <cstdlib>
#include <stdexcept>

namespace {

using namespace TestSupport;

class FileUtilsTest : public ::testing::Test {
protected:
  std::string path(const std::string& name) const { return temp / name; }
  void put(const std::string& name, const std::string& bytes) const { writeText(path(name), bytes); }
  std::string bytesOf(const std::string& name) const { return readText(path(name)); }

  TempDir temp;
  const std::string dir = temp.path();
};

mode_t modeOf(const std::string& path)
{
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

} // namespace

TEST_F(FileUtilsTest, ReadFileDropsExactlyOneFinalNewlineAndGivesNothingForTheUnreadable)
{
  const std::string binary("\0\xff\n\0", 4);
  for (auto [bytes, expected] : std::vector<std::pair<std::string, std::string>>{
           {"a\n\n", "a\n"}, {"a\nb", "a\nb"}, {"x\r\n", "x\r"}, {"\n", ""}, {binary, binary}}) {
    put("f", bytes);
    EXPECT_EQ(FileUtils::readFile(path("f")), expected);
  }
  EXPECT_EQ(FileUtils::readFile(path("missing")), "");
  EXPECT_EQ(FileUtils::readFile(dir), "");
}

TEST_F(FileUtilsTest, WriteFileReplacesOrAppendsAndCreates)
{
  ASSERT_TRUE(FileUtils::writeFile(path("f"), "first\n"));
  ASSERT_TRUE(FileUtils::writeFile(path("f"), "second"));
  EXPECT_EQ(bytesOf("f"), "second");
  ASSERT_TRUE(FileUtils::writeFile(path("f"), "+more", true));
  EXPECT_EQ(bytesOf("f"), "second+more");
  ASSERT_TRUE(FileUtils::writeFile(path("new"), "x", true));
  EXPECT_EQ(bytesOf("new"), "x");
  const std::string binary("a\0b", 3);
  ASSERT_TRUE(FileUtils::writeFile(path("bin"), binary));
  EXPECT_EQ(bytesOf("bin"), binary);
  EXPECT_FALSE(FileUtils::writeFile(path("no/such/dir/f"), "x"));
  EXPECT_FALSE(FileUtils::writeFile(dir, "x"));
}

TEST_F(FileUtilsTest, AFailedWriteLeavesTheFormerFileWholeAndNoTemporaryBehind)
{
  put("settings.json", "old settings");
  put("log", "old log");
  bool replaced = true;
  bool appended = true;
  withFileSizeLimit(64, [&] {
    replaced = FileUtils::writeFile(path("settings.json"), std::string(1000, 'n'));
    appended = FileUtils::writeFile(path("log"), std::string(1000, 'n'), true);
  });
  EXPECT_FALSE(replaced);
  EXPECT_FALSE(appended);
  EXPECT_EQ(bytesOf("settings.json"), "old settings");
  EXPECT_EQ(bytesOf("log"), "old log");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2)
      << "a temporary file was left behind";

  // A link in the file's place is replaced, never written through.
  put("elsewhere", "untouched");
  ASSERT_EQ(symlink(path("elsewhere").c_str(), path("link").c_str()), 0);
  ASSERT_TRUE(FileUtils::writeFile(path("link"), "new"));
  EXPECT_FALSE(std::filesystem::is_symlink(path("link")));
  EXPECT_EQ(bytesOf("link"), "new");
  EXPECT_EQ(bytesOf("elsewhere"), "untouched");
}

TEST_F(FileUtilsTest, MakeDirectoryRecursiveCreatesMissingLevelsAndLeavesTheUmaskAlone)
{
  const mode_t previous = umask(022);
  ASSERT_EQ(mkdir(path("a").c_str(), 0700), 0);
  EXPECT_TRUE(FileUtils::makeDirectory(path("a/b/c"), 0775, true));
  EXPECT_TRUE(FileUtils::isDirectory(path("a/b/c")));
  EXPECT_EQ(modeOf(path("a/b")), 0755u);
  EXPECT_EQ(modeOf(path("a")), 0700u);
  EXPECT_TRUE(FileUtils::makeDirectory(path("x/./y//z/"), 0777, true));
  EXPECT_EQ(modeOf(path("x/y/z")), 0755u);
  EXPECT_EQ(umask(previous), 022u);
  // Single level: an existing directory is fine, a missing parent or a file on the way is not.
  EXPECT_TRUE(FileUtils::makeDirectory(path("a/"), 0755));
  EXPECT_FALSE(FileUtils::makeDirectory(path("p/q"), 0755));
  EXPECT_FALSE(FileUtils::isDirectory(path("p")));
  put("file", "x");
  EXPECT_FALSE(FileUtils::makeDirectory(path("file/sub"), 0755, true));
}

TEST_F(FileUtilsTest, ListFilesRecursivePutsEachDirectoryBeforeItsContent)
{
  put("x", "1");
  ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(path("d/e").c_str(), 0755), 0);
  put("d/y", "2");
  put("d/e/z", "3");
  ASSERT_EQ(symlink("/etc", path("d/link").c_str()), 0);

  const std::vector<FileUtils::FileEntry> entries = FileUtils::listFilesRecursive(dir, true);
  auto position = [&](const std::string& name) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const FileUtils::FileEntry& entry) { return entry.path == name; });
    EXPECT_NE(it, entries.end()) << name;
    return it - entries.begin();
  };
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[position("x")].type, DT_REG);
  EXPECT_EQ(entries[position("d")].type, DT_DIR);
  EXPECT_EQ(entries[position("d/e")].type, DT_DIR);
  EXPECT_EQ(entries[position("d/link")].type, DT_LNK);
  EXPECT_LT(position("d"), position("d/y"));
  EXPECT_LT(position("d"), position("d/e"));
  EXPECT_LT(position("d/e"), position("d/e/z"));

  EXPECT_TRUE(FileUtils::listFilesRecursive(path("missing")).empty());
}

TEST_F(FileUtilsTest, ListFilesRecursiveKeepsNamesThatRepeatTheBase)
{
  // A relative base that reappears deeper in the tree must not be cut out of the paths.
  const std::filesystem::path previous = std::filesystem::current_path();
  ASSERT_EQ(chdir(dir.c_str()), 0);
  ASSERT_TRUE(FileUtils::makeDirectory("b/b/b", 0755, true));
  put("b/b/b/f", "1");
  std::vector<std::string> paths;
  for (const auto& entry : FileUtils::listFilesRecursive("b")) {
    paths.push_back(entry.path);
  }
  std::filesystem::current_path(previous);
  EXPECT_EQ(paths, (std::vector<std::string>{"b", "b/b", "b/b/f"}));
}

TEST_F(FileUtilsTest, GzipSizeTrailerIsReadLittleEndian)
{
  put("short", "abc");
  EXPECT_EQ(FileUtils::gzipUncompressedSize(path("short")), -1);
  put("trailer", std::string("junk\x01\x02\x03\xf4", 8));
  EXPECT_EQ(FileUtils::gzipUncompressedSize(path("trailer")), 0xf4030201);

  put("plain", std::string(100000, 'z'));
  ASSERT_EQ(std::system(("gzip -k " + path("plain")).c_str()), 0);
  EXPECT_EQ(FileUtils::gzipUncompressedSize(path("plain.gz")), 100000);
}

TEST_F(FileUtilsTest, HasSpaceForDecompressionComparesWithWholeMegabytes)
{
  put("small.gz", std::string("\x00\x00\x10\x00", 4)); // claims 1 MiB
  EXPECT_TRUE(FileUtils::hasSpaceForDecompression(dir, path("small.gz"), 3145728));
  const int64_t free = static_cast<int64_t>(FileUtils::freeSpaceMb(dir)) * 1048576;
  EXPECT_FALSE(FileUtils::hasSpaceForDecompression(dir, path("small.gz"), free + (int64_t{1} << 40)));
  EXPECT_FALSE(FileUtils::hasSpaceForDecompression(path("missing"), path("small.gz"), 0));
  EXPECT_EQ(FileUtils::freeSpaceMb(path("missing")), 4294967295u);
  EXPECT_THROW(FileUtils::hasSpaceForDecompression(dir, path("missing.gz"), 0), std::runtime_error);
}

TEST_F(FileUtilsTest, DecompressGzipHandlesPathsWithShellCharacters)
{
  const std::string weird = "we ird;$(echo x)'s";
  put(weird, "payload\n");
  ASSERT_EQ(std::system(("gzip " + StringUtils::shellQuote(path(weird))).c_str()), 0);
  const std::string target = path("new dir/out 'file'");
  ASSERT_TRUE(FileUtils::decompressGzip(path(weird) + ".gz", target));
  EXPECT_EQ(bytesOf("new dir/out 'file'"), "payload\n");
  EXPECT_FALSE(std::filesystem::exists(path("x")));

  put("notgzip", "plain text");
  EXPECT_FALSE(FileUtils::decompressGzip(path("notgzip"), path("out2")));
  put("blocker", "x");
  EXPECT_FALSE(FileUtils::decompressGzip(path(weird) + ".gz", path("blocker/sub/out")));
}

TEST_F(FileUtilsTest, DecompressGzipReplacesTheDestinationOnlyWithTheWholeContent)
{
  put("big", std::string(300000, 'b') + "end");
  ASSERT_EQ(std::system(("gzip -k " + path("big")).c_str()), 0);
  const std::string archive = bytesOf("big.gz");
  put("cut.gz", archive.substr(0, archive.size() - 12));
  put("runtime", "old runtime");
  EXPECT_FALSE(FileUtils::decompressGzip(path("cut.gz"), path("runtime")));
  EXPECT_TRUE(bytesOf("runtime") == "old runtime") << FileUtils::fileSize(path("runtime")) << " bytes";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 4)
      << "a temporary file was left behind";

  const mode_t previous = umask(077);
  EXPECT_TRUE(FileUtils::decompressGzip(path("big.gz"), path("runtime"), 0755));
  umask(previous);
  EXPECT_TRUE(bytesOf("runtime") == bytesOf("big"));
  EXPECT_EQ(modeOf(path("runtime")), 0755u);
}

TEST_F(FileUtilsTest, CopyTreeKeepsModesAndLinksAndRemoveTreeNeverFollowsALink)
{
  ASSERT_EQ(mkdir(path("outside").c_str(), 0755), 0);
  put("outside/keep", "kept");
  ASSERT_EQ(mkdir(path("tree").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(path("tree/sub").c_str(), 0700), 0);
  put("tree/sub/data", "bytes");
  ASSERT_EQ(chmod(path("tree/sub/data").c_str(), 0600), 0);
  ASSERT_EQ(symlink(path("outside").c_str(), path("tree/link").c_str()), 0);

  ASSERT_TRUE(FileUtils::copyTree(path("tree"), path("copy/")));
  EXPECT_EQ(bytesOf("copy/sub/data"), "bytes");
  struct stat info {};
  ASSERT_EQ(stat(path("copy/sub/data").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  ASSERT_EQ(lstat(path("copy/link").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_FALSE(FileUtils::copyTree(path("tree"), path("copy"))) << "an existing destination is refused";

  EXPECT_TRUE(FileUtils::removeTree(path("copy")));
  EXPECT_TRUE(FileUtils::removeTree(path("tree/")));
  EXPECT_FALSE(std::filesystem::exists(path("tree")));
  EXPECT_EQ(bytesOf("outside/keep"), "kept");
  EXPECT_TRUE(FileUtils::removeTree(path("missing")));
}
