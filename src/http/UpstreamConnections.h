#pragma once

#include <curl/curl.h>

// A connection cache shared by every thread that proxies to the packages, so that keep-alive
// connections to a package's server are used again by later requests instead of each request
// opening and closing its own. A reused connection that the server has closed meanwhile is
// detected by libcurl, which connects anew.
namespace UpstreamConnections {

// Lets `handle` take connections from the shared cache and leave them there afterwards.
// Does nothing when the cache could not be set up.
void attach(CURL* handle);

} // namespace UpstreamConnections
