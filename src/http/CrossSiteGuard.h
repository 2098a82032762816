#pragma once

#include <string>

struct RequestData;

// Browsers mark every request with Sec-Fetch-Site, and no page can set or forge it. A request
// that another web site makes the owner's browser send (an image or a form pointing at the
// camera, with the camera's login attached) carries "cross-site". Requests without the
// header (curl, packages, the camera's own software) and those of the owner's own page
// ("same-origin", "same-site", "none") are not affected.
namespace CrossSiteGuard {

// Whether a request to the route `routePattern` (a pattern of Routing's table) with the
// arguments of `request` changes something on the camera: install, removal, a settings write,
// a data import, the runtime's installation. Reading actions ("get", "EXPORT") do not.
bool changesState(const std::string& routePattern, const RequestData& request);

// Why `request` to `routePattern` must not be served, in words a client can show; empty when
// it may be served: it changes nothing, or it is not marked as sent by another web site.
std::string refusal(const std::string& routePattern, const RequestData& request);

// The message of the 403 answer to a refused request.
inline constexpr const char* refusedMessage = "Http API: request from another web site refused";

} // namespace CrossSiteGuard
