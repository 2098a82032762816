#include "ws/ServiceWake.h"

#include <libwebsockets.h>

void ServiceWake::attach(lws_context* serviceContext)
{
  std::lock_guard<std::mutex> lock(mutex);
  context = serviceContext;
}

void ServiceWake::detach()
{
  std::lock_guard<std::mutex> lock(mutex);
  context = nullptr;
}

void ServiceWake::wake(lws* wsi)
{
  {
    std::lock_guard<std::mutex> lock(mutex);
    named.push_back(wsi);
  }
  wake();
}

std::vector<lws*> ServiceWake::woken()
{
  pending = false;
  std::vector<lws*> taken;
  std::lock_guard<std::mutex> lock(mutex);
  taken.swap(named);
  return taken;
}

void ServiceWake::wake()
{
  // Callers make their request before they get here, and the service clears the flag
  // before it reads the requests, so a folded wake-up finds its request read.
  if (pending.exchange(true))
    return;
  std::lock_guard<std::mutex> lock(mutex);
  if (context != nullptr)
    lws_cancel_service(context);
  else
    pending = false;
}
