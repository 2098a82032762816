#include "http/Routing.h"

#include "http/HttpServer.h"
#include "http/RequestData.h"

#include <iterator>

namespace {

using Routing::Route;

// Tested top to bottom; a more specific pattern must come before any pattern it contains
// ("/package/list.cgi" before "/package/", "/proxy/" before "/package/").
const Route routes[] = {
    {"/api_check.cgi", [](MHD_Connection* c, RequestData& r,
                          const std::string&) { return HttpServer::onApiCheckRequest(c, r); }},
    {"/package/list.cgi", [](MHD_Connection* c, RequestData& r,
                             const std::string&) { return HttpServer::onPackageListRequest(c, r); }},
    {"/package/get_storage.cgi", [](MHD_Connection* c, RequestData& r,
                                    const std::string&) { return HttpServer::onGetStorageRequest(c, r); }},
    {"/package/status.cgi", [](MHD_Connection* c, RequestData& r,
                               const std::string&) { return HttpServer::onPackageStatusRequest(c, r); }},
    {"/package/log.cgi", [](MHD_Connection* c, RequestData& r,
                            const std::string&) { return HttpServer::onPackageLogRequest(c, r); }},
    {"/package/install.cgi", [](MHD_Connection* c, RequestData& r,
                                const std::string&) { return HttpServer::onInstallRequest(c, r); }},
    {"/package/remove.cgi",
     [](MHD_Connection* c, RequestData& r, const std::string&) { return HttpServer::onRemoveRequest(c, r); }},
    {"/package/settings.cgi", [](MHD_Connection* c, RequestData& r,
                                 const std::string&) { return HttpServer::onSettingsRequest(c, r); }},
    {"/package/data.cgi", [](MHD_Connection* c, RequestData& r,
                             const std::string&) { return HttpServer::onPackageDataRequest(c, r); }},
    {"/proxy/", [](MHD_Connection* c, RequestData& r,
                   const std::string& url) { return HttpServer::onPackageProxyRequest(c, r, url, false); }},
    {"/proxy_public/",
     [](MHD_Connection* c, RequestData& r, const std::string& url) {
       return HttpServer::onPackageProxyRequest(c, r, url, true);
     }},
    {"/package/", [](MHD_Connection* c, RequestData& r,
                     const std::string& url) { return HttpServer::onPackageUiRequest(c, r, url); }},
    {"/proxy.cgi",
     [](MHD_Connection* c, RequestData& r, const std::string&) { return HttpServer::onProxyRequest(c, r); }},
    {"/node_update.cgi", [](MHD_Connection* c, RequestData& r,
                            const std::string&) { return HttpServer::onNodeUpdateRequest(c, r); }},
    {"/network_camera_list.cgi",
     [](MHD_Connection* c, RequestData& r, const std::string&) {
       return HttpServer::onNetworkCameraListRequest(c, r);
     }},
    {"/diagnostics.cgi", [](MHD_Connection* c, RequestData& r,
                            const std::string&) { return HttpServer::onDiagnosticsRequest(c, r); }},
    {"/report.cgi",
     [](MHD_Connection* c, RequestData& r, const std::string&) { return HttpServer::onReportRequest(c, r); }},
};

} // namespace

const Route* Routing::findRoute(const std::string& url)
{
  for (const Route& route : routes) {
    if (url.find(route.pattern) != std::string::npos) {
      return &route;
    }
  }
  return nullptr;
}

MHD_Result Routing::dispatch(MHD_Connection* connection, RequestData& request, const std::string& url)
{
  const Route* route = findRoute(url);
  if (route == nullptr) {
    return HttpServer::sendUnknownRequest(connection, url);
  }
  return route->handler(connection, request, url);
}
