#pragma once

#include <microhttpd.h>

#include <string>

struct RequestData;
class HttpServer;

namespace Routing {

using Handler = MHD_Result (*)(const HttpServer& server, MHD_Connection* connection, RequestData& request,
                               const std::string& url);

// One line of the routing table: a request whose URL path contains `pattern` goes to `handler`.
// A handler that never waits (on the network, a child process, a large file operation) may
// run on the server's event loop; the others run on a worker.
struct Route {
  const char* pattern;
  Handler handler;
  bool mayBlock = true;
};

// The first route whose pattern occurs in `url`, in table order, or null. Routing is by
// substring, so the order of the table is part of the behaviour.
const Route* findRoute(const std::string& url);

} // namespace Routing
