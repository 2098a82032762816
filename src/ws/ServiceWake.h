#pragma once

#include <atomic>
#include <mutex>
#include <vector>

struct lws;
struct lws_context;

// Interrupts the WebSocket service thread's wait from any thread, for as long as the
// service's context exists. Shared by the server and its connections so that a late
// wake-up after the context is gone does nothing instead of touching freed memory.
class ServiceWake {
public:
  // Wake-ups reach `context` from now on.
  void attach(lws_context* context);
  // Wake-ups do nothing from now on; returns once no wake-up is using the context.
  void detach();
  // Makes the service thread run one round of its loop soon (LWS_CALLBACK_EVENT_WAIT_CANCELLED).
  // Wake-ups until the service calls woken() are folded into one.
  void wake();
  // The same, for the connection `wsi`, which the service's next woken() lists. A caller
  // names a connection once until the service has taken it, so the list stays within the
  // number of connections.
  void wake(lws* wsi);
  // Service thread, before it looks at what the wake-up was for: the connections named since
  // the last call.
  std::vector<lws*> woken();

private:
  std::atomic<bool> pending{false};
  std::mutex mutex;
  lws_context* context = nullptr;
  std::vector<lws*> named;
};
