#include "http/HttpServer.h"
#include "http/RequestData.h"

// Routes whose handlers are not written yet answer like an unknown request.

MHD_Result HttpServer::onPackageDataRequest(MHD_Connection* connection, RequestData& request)
{
  return sendUnknownRequest(connection, request.url);
}

MHD_Result HttpServer::onPackageProxyRequest(MHD_Connection* connection, RequestData&, const std::string& url,
                                             bool)
{
  return sendUnknownRequest(connection, url);
}

MHD_Result HttpServer::onPackageUiRequest(MHD_Connection* connection, RequestData&, const std::string& url)
{
  return sendUnknownRequest(connection, url);
}

MHD_Result HttpServer::onProxyRequest(MHD_Connection* connection, const RequestData& request)
{
  return sendUnknownRequest(connection, request.url);
}

MHD_Result HttpServer::onNodeUpdateRequest(MHD_Connection* connection, RequestData& request)
{
  return sendUnknownRequest(connection, request.url);
}

MHD_Result HttpServer::onNetworkCameraListRequest(MHD_Connection* connection, RequestData& request)
{
  return sendUnknownRequest(connection, request.url);
}

MHD_Result HttpServer::onDiagnosticsRequest(MHD_Connection* connection, RequestData& request)
{
  return sendUnknownRequest(connection, request.url);
}

MHD_Result HttpServer::onReportRequest(MHD_Connection* connection, RequestData& request)
{
  return sendUnknownRequest(connection, request.url);
}
