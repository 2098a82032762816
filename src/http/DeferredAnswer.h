#pragma once

#include <microhttpd.h>

#include <atomic>

struct RequestData;

// Where the answer to a connection's request goes while its handler runs on a worker: each
// connection of the library carries one as its socket context, made when the connection
// starts and freed when it closes. While `request` is set the connection is suspended, and
// what the handler queues waits in the request for the server to queue once it resumes.
struct DeferredAnswer {
  std::atomic<RequestData*> request{nullptr};

  // The one `connection` carries; null when it has none.
  static DeferredAnswer* of(MHD_Connection* connection)
  {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<DeferredAnswer*>(info->socket_context) : nullptr;
  }
};
