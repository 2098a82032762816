#pragma once

#include <atomic>
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
  // Wake-ups until the service calls woken() are folded into one.
  void wake();
  // Service thread, before it looks at what the wake-up was for.
  void woken() { pending = false; }

private:
  std::atomic<bool> pending{false};
  std::mutex mutex;
  lws_context* context = nullptr;
};
