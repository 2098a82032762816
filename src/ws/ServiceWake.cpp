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

void ServiceWake::wake()
{
  std::lock_guard<std::mutex> lock(mutex);
  if (context != nullptr)
    lws_cancel_service(context);
}
