#pragma once

#include <mutex>

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
  void wake();

private:
  std::mutex mutex;
  lws_context* context = nullptr;
};
