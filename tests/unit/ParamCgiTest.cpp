#include "ParamCgi.h"

#include <gtest/gtest.h>

namespace {

class ParamCgiTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    store.applyDeclarations(
        "orvane.LogLevel=debug\norvane.Version=1.3.1\nBrand.Brand=AXIS\nBrand.ProdNbr=P1\n");
  }

  ParameterStore store;
};

TEST_F(ParamCgiTest, ListAnswersOneRootLinePerParameterOfEachGroup)
{
  auto answer = ParamCgi::handle(store, {{"action", "list"}, {"group", "Brand,root.orvane.LogLevel"}});
  EXPECT_EQ(answer.status, 200u);
  EXPECT_EQ(answer.body, "root.Brand.Brand=AXIS\nroot.Brand.ProdNbr=P1\nroot.Orvane.LogLevel=debug\n");
  EXPECT_TRUE(answer.changes.empty());
}

TEST_F(ParamCgiTest, UpdateStoresEveryPairAndReportsThemUnderTheirDeclaredNames)
{
  auto answer = ParamCgi::handle(
      store, {{"action", "update"}, {"root.Orvane.LogLevel", "info"}, {"ORVANE.version", "3.1.10"}});
  EXPECT_EQ(answer.status, 200u);
  EXPECT_EQ(answer.body, "OK\n");
  EXPECT_EQ(answer.changes,
            (std::vector<ParameterStore::Entry>{{"orvane.LogLevel", "info"}, {"orvane.Version", "3.1.10"}}));
  EXPECT_EQ(store.get("orvane.LogLevel"), "info");
  EXPECT_EQ(store.get("orvane.Version"), "3.1.10");
}

TEST_F(ParamCgiTest, UpdateWithAnUnknownNameAnswersAnErrorAndChangesNothing)
{
  auto answer =
      ParamCgi::handle(store, {{"action", "update"}, {"orvane.LogLevel", "info"}, {"orvane.Nothing", "x y"}});
  EXPECT_EQ(answer.status, 200u);
  EXPECT_EQ(answer.body, "# Error: Error setting 'orvane.Nothing' to 'x y'!\n");
  EXPECT_TRUE(answer.changes.empty());
  EXPECT_EQ(store.get("orvane.LogLevel"), "debug");
}

TEST_F(ParamCgiTest, MissingActionUnknownActionAndEmptyUpdateAreBadRequests)
{
  EXPECT_EQ(ParamCgi::handle(store, {{"group", "Brand"}}).status, 400u);
  EXPECT_EQ(ParamCgi::handle(store, {{"action", "remove"}, {"group", "Brand"}}).status, 400u);
  EXPECT_EQ(ParamCgi::handle(store, {{"action", "update"}}).status, 400u);
  EXPECT_EQ(store.all().size(), 4u);
}

TEST(ParamCgiDecodingTest, FormBodiesDecodePlusPercentAndBarePiecesAndKeepBrokenSequences)
{
  auto arguments = ParamCgi::decodeForm("action=update&orvane.PackageConfigurations=%7B%22a%22%3A1%7D"
                                        "&x+y=a%2Bb%26c%3Dd&flag&&empty=");
  EXPECT_EQ(arguments, (ParamCgi::Arguments{{"action", "update"},
                                            {"orvane.PackageConfigurations", "{\"a\":1}"},
                                            {"x y", "a+b&c=d"},
                                            {"flag", ""},
                                            {"empty", ""}}));
  // Broken percent sequences stay as they are.
  EXPECT_EQ(ParamCgi::percentDecode("100%", true), "100%");
  EXPECT_EQ(ParamCgi::percentDecode("%zz%4", true), "%zz%4");
  EXPECT_EQ(ParamCgi::percentDecode("%41%4a%4A", true), "AJJ");
  EXPECT_EQ(ParamCgi::percentDecode("a+b", false), "a+b");
}

} // namespace
