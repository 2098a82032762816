#pragma once

#include <microhttpd.h>

#include <string>

struct RequestData;
class HttpServer;

namespace Routing {

using Handler = MHD_Result (*)(const HttpServer& server, MHD_Connection* connection, RequestData& request,
                               const std::string& url);

// Which of a package's ports a package proxy route reaches.
enum class ProxyPort { None, Private, Public };

// One line of the routing table: a request whose URL path contains `pattern` goes to `handler`.
// A handler that never waits (on the network, a child process, a large file operation) may
// run on the server's event loop; the others run on a worker.
struct Route {
  const char* pattern;
  Handler handler;
  bool mayBlock = true;
  ProxyPort proxy = ProxyPort::None;
};

// The package proxy route of a path that begins with "/proxy/" or "/proxy_public/", whatever
// follows (so that nothing below a package's own prefix names another endpoint); otherwise
// the first route whose pattern occurs in `url`, in table order, or null. Outside the two
// prefixes routing is by substring, so the order of the table is part of the behaviour.
const Route* findRoute(const std::string& url);

} // namespace Routing
