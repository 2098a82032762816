#include "http/Routing.h"

#include "TestSupport.h"

namespace {

std::string routeOf(const std::string& url)
{
  const Routing::Route* route = Routing::findRoute(url);
  return route == nullptr ? "none" : route->pattern;
}

} // namespace

TEST(RoutingTest, RoutesBySubstringAnywhereInThePath)
{
  EXPECT_EQ(routeOf("/api_check.cgi"), "/api_check.cgi");
  EXPECT_EQ(routeOf("/some/path/api_check.cgi/x"), "/api_check.cgi");
  EXPECT_EQ(routeOf("/local/orvane/package/install.cgi"), "/package/install.cgi");
  EXPECT_EQ(routeOf("/report.cgi"), "/report.cgi");
}

TEST(RoutingTest, SpecificRoutesComeBeforeTheMoreGeneralOnesTheyContain)
{
  EXPECT_EQ(routeOf("/package/myapp/proxy/x"), "/proxy/");
  EXPECT_EQ(routeOf("/package/myapp/proxy_public/x"), "/proxy_public/");
  EXPECT_EQ(routeOf("/package/myapp/html/index.html"), "/package/");
  // The earliest route wins even when a later one also matches.
  EXPECT_EQ(routeOf("/proxy/app/api_check.cgi"), "/api_check.cgi");
  EXPECT_EQ(routeOf("/proxy.cgi/package/x"), "/package/");
}

TEST(RoutingTest, PathsMatchingNoRouteHaveNone)
{
  EXPECT_EQ(routeOf("/foo"), "none");
  EXPECT_EQ(routeOf("/"), "none");
  EXPECT_EQ(routeOf("/package"), "none");
  EXPECT_EQ(routeOf("/proxy"), "none");
  EXPECT_EQ(routeOf("/API_CHECK.CGI"), "none");
}
