#include "app/AppContext.h"

#include "http/HttpServer.h"
#include "ws/WsServer.h"

AppContext& AppContext::instance()
{
  static AppContext context;
  return context;
}

AppContext::~AppContext()
{
  wsServer.reset();
  httpServer.reset();
  packageController.reset();
}
