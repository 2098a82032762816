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
  EXPECT_EQ(routeOf("/x/proxy/app/api_check.cgi"), "/api_check.cgi");
  EXPECT_EQ(routeOf("/proxy.cgi/package/x"), "/package/");
}

TEST(RoutingTest, EverythingBelowAProxyPrefixIsProxiedToThePortOfThatPrefix)
{
  using Routing::ProxyPort;
  for (const char* url : {"/proxy/app/api_check.cgi", "/proxy/raw/echo/package/list.cgi", "/proxy/",
                          "/proxy/app/proxy_public/x", "/proxy/app/package/remove.cgi"}) {
    const Routing::Route* route = Routing::findRoute(url);
    ASSERT_NE(route, nullptr) << url;
    EXPECT_EQ(route->proxy, ProxyPort::Private) << url;
  }
  for (const char* url : {"/proxy_public/raw/proxy/echo", "/proxy_public/raw/x/package/remove.cgi",
                          "/proxy_public/a/api_check.cgi", "/proxy_public/"}) {
    const Routing::Route* route = Routing::findRoute(url);
    ASSERT_NE(route, nullptr) << url;
    EXPECT_EQ(route->proxy, ProxyPort::Public) << url;
  }
  // Not below a prefix: the substring rules, and only the two proxy routes are proxies.
  EXPECT_EQ(Routing::findRoute("/x/proxy_public/a/proxy/b")->proxy, ProxyPort::Private);
  EXPECT_EQ(Routing::findRoute("/package/list.cgi")->proxy, ProxyPort::None);
  EXPECT_EQ(Routing::findRoute("/proxy.cgi")->proxy, ProxyPort::None);
}

TEST(RoutingTest, PathsMatchingNoRouteHaveNone)
{
  EXPECT_EQ(routeOf("/foo"), "none");
  EXPECT_EQ(routeOf("/"), "none");
  EXPECT_EQ(routeOf("/package"), "none");
  EXPECT_EQ(routeOf("/proxy"), "none");
  EXPECT_EQ(routeOf("/API_CHECK.CGI"), "none");
}
