#include "Credentials.h"

#include <gtest/gtest.h>

namespace {

std::string passwordOf(const std::string& token)
{
  return token.substr(token.find(':') + 1);
}

TEST(CredentialsTest, IssuedAccountsShareTheCurrentPasswordAndOthersHaveNone)
{
  Credentials credentials;
  std::string token = credentials.issue("orvane-user");
  ASSERT_EQ(token.rfind("orvane-user:", 0), 0u);
  EXPECT_EQ(passwordOf(token).size(), 24u);
  EXPECT_EQ(credentials.passwordFor("orvane-user"), passwordOf(token));
  EXPECT_EQ(credentials.passwordFor(Credentials::defaultUser), passwordOf(token));
  EXPECT_FALSE(credentials.passwordFor("someone-else"));
}

TEST(CredentialsTest, RenewalReplacesThePasswordOfEveryAccount)
{
  Credentials credentials;
  std::string old = passwordOf(credentials.issue("orvane-user"));
  std::string renewed = credentials.renew();
  ASSERT_EQ(renewed.rfind(std::string(Credentials::defaultUser) + ":", 0), 0u);
  EXPECT_NE(passwordOf(renewed), old);
  EXPECT_EQ(credentials.passwordFor("orvane-user"), passwordOf(renewed));
}

TEST(CredentialsTest, TwoSimulatorsIssueDifferentPasswords)
{
  EXPECT_NE(Credentials().issue("a"), Credentials().issue("a"));
}

} // namespace
