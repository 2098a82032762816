#include "http/UiFile.h"

#include "TestSupport.h"

using namespace TestSupport;

namespace {

class UiFileTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_TRUE(FileUtils::makeDirectory(html + "/js/empty", 0755, true));
    ASSERT_TRUE(FileUtils::makeDirectory(base + "/app/html2", 0755, true));
    writeText(html + "/index.html", "<html>\n");
    writeText(html + "/js/app.js", "let a = 1;\n");
    writeText(base + "/app/manifest.json", "{\"secret\": true}");
    writeText(base + "/app/html2/page.html", "sibling");
  }

  TempDir temp;
  const std::string base = temp.path();
  const std::string html = base + "/app/html";
};

} // namespace

TEST(UiFileRouteTest, TakesThePackageNameAndTheFilePathAfterThePackageWord)
{
  const UiFile::Route route = UiFile::route("/local/package/myapp/js/app.js");
  EXPECT_TRUE(route.valid);
  EXPECT_EQ(route.packageName + " " + route.filePath, "myapp js/app.js");
  EXPECT_EQ(UiFile::route("/package/myapp/").filePath, "");
  EXPECT_FALSE(UiFile::route("/package/myapp").valid);
  EXPECT_FALSE(UiFile::route("/packages/myapp/index.html").valid);
}

TEST(UiFileRouteTest, PlainRelativePathsOnly)
{
  EXPECT_TRUE(UiFile::isPlainRelativePath("index.html"));
  EXPECT_TRUE(UiFile::isPlainRelativePath("js/.hidden/a..b/app.js"));
  for (const char* path :
       {"", "/etc/passwd", "js//app.js", "js/", "..", "../manifest.json", "js/../../x", "a/.."}) {
    EXPECT_FALSE(UiFile::isPlainRelativePath(path)) << path;
  }
}

TEST_F(UiFileTest, OpensARegularFileBelowTheHtmlDirectoryWithItsSize)
{
  UiFile::OpenFile file;
  ASSERT_TRUE(UiFile::open(html, "js/app.js", file));
  EXPECT_EQ(file.size, 11u);
  EXPECT_EQ(readAll(file.fd.get()), "let a = 1;\n");
  EXPECT_NE(fcntl(file.fd.get(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(UiFileTest, RefusesDirectoriesMissingFilesTraversalAndAFifoWithoutWaitingForAWriter)
{
  ASSERT_EQ(mkfifo((html + "/pipe.js").c_str(), 0644), 0);
  UiFile::OpenFile file;
  for (const char* path : {"js", "js/empty", "missing.html", "../manifest.json", "js/../../manifest.json",
                           "js//app.js", "../html2/page.html", "pipe.js"}) {
    EXPECT_FALSE(UiFile::open(html, path, file)) << path;
    EXPECT_FALSE(file.fd.valid()) << path;
  }
  EXPECT_FALSE(UiFile::open(base + "/app/missing-html", "index.html", file));
}

TEST_F(UiFileTest, FollowsLinksThatStayInsideAndRefusesLinksThatLeadOut)
{
  ASSERT_EQ(symlink("js/app.js", (html + "/inside.js").c_str()), 0);
  ASSERT_EQ(symlink("../manifest.json", (html + "/out.json").c_str()), 0);
  ASSERT_EQ(symlink("/etc", (html + "/etc").c_str()), 0);
  // A sibling whose name begins like the html directory's is still outside it.
  ASSERT_EQ(symlink("../html2/page.html", (html + "/sibling.html").c_str()), 0);

  UiFile::OpenFile file;
  ASSERT_TRUE(UiFile::open(html, "inside.js", file));
  EXPECT_EQ(readAll(file.fd.get()), "let a = 1;\n");
  for (const char* path : {"out.json", "etc/hostname", "etc/passwd", "sibling.html"}) {
    UiFile::OpenFile refused;
    EXPECT_FALSE(UiFile::open(html, path, refused)) << path;
  }
}
