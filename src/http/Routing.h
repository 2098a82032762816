#pragma once

#include <microhttpd.h>

#include <string>

struct RequestData;

namespace Routing {

using Handler = MHD_Result (*)(MHD_Connection* connection, RequestData& request, const std::string& url);

// One line of the routing table: a request whose URL path contains `pattern` goes to `handler`.
struct Route {
  const char* pattern;
  Handler handler;
};

// The first route whose pattern occurs in `url`, in table order, or null. Routing is by
// substring, so the order of the table is part of the behaviour.
const Route* findRoute(const std::string& url);

// Hands the complete request to its route's handler, or answers it as an unknown request.
MHD_Result dispatch(MHD_Connection* connection, RequestData& request, const std::string& url);

} // namespace Routing
