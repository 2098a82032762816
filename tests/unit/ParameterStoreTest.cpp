#include "ParameterStore.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> names(const std::vector<ParameterStore::Entry>& entries)
{
  std::vector<std::string> result;
  for (const auto& entry : entries) {
    result.push_back(entry.first);
  }
  return result;
}

TEST(ParameterStoreTest, DeclarationsSplitAtTheFirstEqualsAndSkipCommentsAndBlankLines)
{
  ParameterStore store;
  auto problems = store.applyDeclarations("# a comment\n"
                                          "\n"
                                          "  # indented comment\n"
                                          "orvane.PackageConfigurations={\"a\":{\"enabled\": true}}\n"
                                          "Brand.ProdFullName=AXIS Dome = Camera \r\n"
                                          "orvane.VersionHash=\n");
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(store.get("orvane.PackageConfigurations"), "{\"a\":{\"enabled\": true}}");
  EXPECT_EQ(store.get("Brand.ProdFullName"), "AXIS Dome = Camera ");
  EXPECT_EQ(store.get("orvane.VersionHash"), "");
  EXPECT_EQ(store.all().size(), 3u);
}

TEST(ParameterStoreTest, LaterDeclarationsOverrideAndABangLineRemovesOne)
{
  ParameterStore store;
  store.applyDeclarations("orvane.LogLevel=debug\norvane.Version=1.3.1\n");
  auto problems = store.applyDeclarations("!ORVANE.loglevel\norvane.Version=2.0\n! Brand.Missing\n");
  EXPECT_TRUE(problems.empty());
  EXPECT_FALSE(store.contains("orvane.LogLevel"));
  EXPECT_EQ(store.get("orvane.Version"), "2.0");
}

TEST(ParameterStoreTest, MalformedLinesAreReportedWithTheirNumbersAndTheRestApplies)
{
  ParameterStore store;
  auto problems = store.applyDeclarations("no equals sign\n=value\nGood.Name=1\n!\nTwo words=x\n");
  ASSERT_EQ(problems.size(), 4u);
  EXPECT_EQ(problems[0], "line 1: no equals sign");
  EXPECT_EQ(problems[1], "line 2: =value");
  EXPECT_EQ(problems[2], "line 4: !");
  EXPECT_EQ(problems[3], "line 5: Two words=x");
  EXPECT_EQ(store.get("Good.Name"), "1");
}

TEST(ParameterStoreTest, NamesAreFoundInAnyLetterCaseWithOrWithoutRoot)
{
  ParameterStore store;
  store.applyDeclarations("root.System.BoaPort=80\norvane.LogLevel=debug\n");
  EXPECT_EQ(store.get("ROOT.Orvane.loglevel"), "debug");
  EXPECT_EQ(store.get("system.boaport"), "80");
  EXPECT_EQ(names(store.all()), (std::vector<std::string>{"orvane.LogLevel", "System.BoaPort"}));
  EXPECT_FALSE(store.get("LogLevel"));
}

TEST(ParameterStoreTest, SetKeepsTheDeclaredSpellingAndRefusesUnknownNames)
{
  ParameterStore store;
  store.applyDeclarations("orvane.LogLevel=debug\n");
  EXPECT_EQ(store.set("root.ORVANE.LOGLEVEL", " info "), "orvane.LogLevel");
  EXPECT_EQ(store.get("orvane.LogLevel"), " info ");
  EXPECT_FALSE(store.set("orvane.Unknown", "x"));
  EXPECT_FALSE(store.contains("orvane.Unknown"));
}

TEST(ParameterStoreTest, SetAllStoresNothingWhenOneNameIsUnknown)
{
  ParameterStore store;
  store.applyDeclarations("a.One=1\na.Two=2\n");
  std::string unknown;
  EXPECT_FALSE(store.setAll({{"a.One", "10"}, {"a.Three", "30"}, {"a.Two", "20"}}, unknown));
  EXPECT_EQ(unknown, "a.Three");
  EXPECT_EQ(store.get("a.One"), "1");
  EXPECT_EQ(store.get("a.Two"), "2");

  auto stored = store.setAll({{"A.ONE", "10"}, {"a.two", "20"}}, unknown);
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, (std::vector<ParameterStore::Entry>{{"a.One", "10"}, {"a.Two", "20"}}));
}

TEST(ParameterStoreTest, AGroupHoldsTheNamedParameterAndThoseBelowItButNotPrefixSiblings)
{
  ParameterStore store;
  store.applyDeclarations("Brand.ProdNbr=P1\nBrand.Brand=AXIS\nBrandX.Name=x\nProperties.System.Soc=S\n");
  EXPECT_EQ(names(store.group("brand")), (std::vector<std::string>{"Brand.Brand", "Brand.ProdNbr"}));
  EXPECT_EQ(names(store.group("root.Brand.Brand")), (std::vector<std::string>{"Brand.Brand"}));
  EXPECT_EQ(names(store.group("Properties.System")), (std::vector<std::string>{"Properties.System.Soc"}));
  EXPECT_EQ(store.group("root").size(), 4u);
  EXPECT_TRUE(store.group("Bran").empty());
}

TEST(ParameterStoreTest, ThePlatformSpellingStartsWithRootAndACapitalGroup)
{
  EXPECT_EQ(ParameterStore::platformName("orvane.LogLevel"), "root.Orvane.LogLevel");
  EXPECT_EQ(ParameterStore::platformName("System.BoaPort"), "root.System.BoaPort");
}

} // namespace
