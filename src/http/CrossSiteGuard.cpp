#include "http/CrossSiteGuard.h"

#include "http/RequestData.h"
#include "util/StringUtils.h"

bool CrossSiteGuard::changesState(const std::string& routePattern, const RequestData& request)
{
  const std::string action = request.argument("action");
  if (routePattern == "/package/install.cgi" || routePattern == "/package/remove.cgi" ||
      routePattern == "/node_update.cgi") {
    return true;
  }
  // Any action but the reading one counts: an unknown action is refused anyway, and a
  // spelling the handler might one day accept must not slip through here.
  if (routePattern == "/package/settings.cgi") {
    return action != "get";
  }
  if (routePattern == "/package/data.cgi") {
    return action != "EXPORT";
  }
  return false;
}

std::string CrossSiteGuard::refusal(const std::string& routePattern, const RequestData& request)
{
  const std::string site = StringUtils::toLowerCopy(StringUtils::trimmed(request.header("Sec-Fetch-Site")));
  if (site != "cross-site" || !changesState(routePattern, request)) {
    return "";
  }
  return "the browser says that a page of another web site sent this request; only Orvane's own page, "
         "or a client that is not a browser, may change packages";
}
