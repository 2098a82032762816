#include "http/HttpServer.h"
#include "http/RequestData.h"

// Routes whose handlers are not written yet answer like an unknown request.

MHD_Result HttpServer::onPackageDataRequest(MHD_Connection* connection, RequestData& request)
{
  return sendUnknownRequest(connection, request.url);
}

