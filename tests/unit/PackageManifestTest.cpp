#include "packages/PackageManifest.h"

#include "TestSupport.h"
#include "util/Limits.h"

using namespace TestSupport;

namespace {

class ReadManifest : public ::testing::Test {
protected:
  std::string write(const std::string& text)
  {
    const std::string path = dir.path() + "/manifest.json";
    writeText(path, text);
    return path;
  }

  PackageManifest unchanged()
  {
    PackageManifest manifest;
    manifest.packageName = "before";
    manifest.uiLink = "before";
    return manifest;
  }

  TempDir dir;
  LogCapture log;
};

const char* const validManifest = R"({"package_name":"clockAnalog","package_menu_name":"Analog clock",
  "package_version":"1.0.2","vendor":"Example","required_orvane_version":"3.1.0"})";

TEST_F(ReadManifest, FillsEveryFieldOfAValidManifest)
{
  PackageManifest manifest;
  ASSERT_EQ(readManifest(manifest, write(validManifest)), std::nullopt);
  EXPECT_EQ(manifest.packageName, "clockAnalog");
  EXPECT_EQ(manifest.packageMenuName, "Analog clock");
  EXPECT_EQ(manifest.packageVersion, "1.0.2");
  EXPECT_EQ(manifest.vendor, "Example");
  EXPECT_EQ(manifest.requiredVersion, "3.1.0");
  EXPECT_EQ(manifest.uiLink, "");
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ReadManifest, MissingOrEmptyFileIsReportedAsNoSuchFile)
{
  for (const std::string& path : {dir.path() + "/absent.json", write("")}) {
    PackageManifest manifest = unchanged();
    const std::optional<Failure> failure = readManifest(manifest, path);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Failure::Kind::NotFound);
    EXPECT_EQ(failure->what(), "Read manifest error: No such file: " + path);
    EXPECT_EQ(manifest.packageName, "before");
  }
  // The caller says what the manifest was for.
  EXPECT_TRUE(log.lines().empty());
}

// The error line each refusal logs is checked end to end.
TEST_F(ReadManifest, RejectsTextsThatAreNotOneObjectWithTheRequiredStringsOrTooDeepOrTooLarge)
{
  std::string padded(validManifest);
  padded.insert(padded.size() - 1, ",\"pad\":\"" + std::string(Limits::maxManifestBytes, 'x') + "\"");
  const std::vector<std::string> invalid = {
      "[]",
      "{\"package_name\":\"a\"",
      std::string(validManifest) + " {}",
      R"({"package_name":"a","package_menu_name":"b","package_version":1,"vendor":"d"})",
      R"({"package_name":"a","package_menu_name":"b","package_version":"c"})",
      R"({"package_name":null,"package_menu_name":"b","package_version":"c","vendor":"d"})",
      R"({"package_name":"a","package_menu_name":"b","package_version":"c","vendor":"d",})",
      std::string(200000, '['),
      // Valid but for its depth: refused before it is parsed.
      R"({"package_name":"a","package_menu_name":"b","package_version":"c","vendor":"d","x":)" +
          std::string(100, '[') + std::string(100, ']') + "}",
      padded,
  };
  for (const std::string& text : invalid) {
    PackageManifest manifest = unchanged();
    const std::optional<Failure> failure = readManifest(manifest, write(text));
    ASSERT_TRUE(failure) << text.substr(0, 40);
    EXPECT_EQ(failure->kind(), Failure::Kind::BadInput) << text.substr(0, 40);
    EXPECT_EQ(manifest.packageName, "before") << text.substr(0, 40);
    EXPECT_EQ(manifest.uiLink, "before") << text.substr(0, 40);
  }
}

TEST_F(ReadManifest, OptionalKeysOfOtherTypesAreIgnoredAndTheFirstOfTwoEqualKeysCounts)
{
  PackageManifest manifest = unchanged();
  ASSERT_EQ(readManifest(manifest, write(R"({"package_name":"","package_menu_name":"b",
    "package_version":"c","vendor":"d","ui_link":5,"required_orvane_version":["3"],"extra":{}})")),
            std::nullopt);
  EXPECT_EQ(manifest.packageName, "");
  EXPECT_EQ(manifest.uiLink, "before");
  EXPECT_EQ(manifest.requiredVersion, "");

  // The first of two equal keys counts.
  ASSERT_EQ(readManifest(manifest, write(R"({"package_name":"first","package_name":"second",
    "package_menu_name":"b","package_version":"c","vendor":"d","vendor":5,"ui_link":"u","ui_link":"v"})")),
            std::nullopt);
  EXPECT_EQ(manifest.packageName, "first");
  EXPECT_EQ(manifest.vendor, "d");
  EXPECT_EQ(manifest.uiLink, "u");
}

TEST_F(ReadManifest, ListEntryIsWrittenAnewAndSaysWhatIsWrongInsteadOfCopyingTheFile)
{
  write("{ \"package_name\" : \"pkg\", \"package_menu_name\":\"M\", \"package_version\":\"1\",\n"
        "  \"vendor\":\"V\", \"extra\": [1, {\"a\": \"</script>\"}] }\n");
  EXPECT_EQ(manifestJson(dir.path(), "pkg"),
            R"({"package_name":"pkg","package_menu_name":"M","package_version":"1","vendor":"V","extra":[1,{"a":"</script>"}]})");
  // Another package's name, garbage, bytes that are not UTF-8, no file: never the file's text.
  auto failureOf = [](const std::string& directory, const std::string& name) {
    try {
      return "unexpected text: " + manifestJson(directory, name);
    } catch (const Failure& failure) {
      return std::string(failure.what());
    }
  };
  EXPECT_EQ(failureOf(dir.path(), "other"), "manifest.json names another package");
  write(R"({"package_name":"pkg", garbage)");
  EXPECT_EQ(failureOf(dir.path(), "pkg"), "invalid manifest.json");
  write("{\"package_name\":\"pkg\",\"package_menu_name\":\"\xff\",\"package_version\":\"1\",\"vendor\":\"V\"}");
  EXPECT_EQ(failureOf(dir.path(), "pkg"), "manifest.json is not UTF-8");
  EXPECT_EQ(failureOf(dir.path() + "/missing", "pkg"), "no manifest.json");
  // Asked for at every list request: nothing logged.
  EXPECT_EQ(log.text(), "");
}

TEST(CheckRequiredVersion, ComparesDotSeparatedNumbersPositionByPosition)
{
  struct Case {
    const char* required;
    const char* application;
    bool expected;
  };
  const Case cases[] = {
      {"", "3.1.10", true},
      {"3.1.11", "3.1.10", false},
      {"3.2", "3.1.10", false},
      {"2.9.99", "3.1.10", true},
      {"3.1", "3.1.10", true},
      {"3.x.20", "3.1.10", false},
      {"4", "", true},
      {" 3.1.10", "3.1.10", true},
      {"3..9", "3.1.10", true},
      {"3.1.11b", "3.1.10", false},
      {"99999999999.0", "3.1.10", true},
      {"-1", "0", true},
  };
  for (const Case& c : cases) {
    PackageManifest manifest;
    manifest.requiredVersion = c.required;
    EXPECT_EQ(checkRequiredVersion(manifest, c.application), c.expected)
        << "required '" << c.required << "' against '" << c.application << "'";
  }
}

} // namespace
