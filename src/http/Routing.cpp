#include "http/Routing.h"

#include "http/HttpServer.h"
#include "http/RequestData.h"

#include <iterator>
#include <type_traits>

namespace {

using Routing::Route;

// A handler that needs only the connection and the request, as one line of the table.
template <auto handler>
MHD_Result call(const HttpServer& server, MHD_Connection* connection, RequestData& request,
                const std::string&)
{
  if constexpr (std::is_member_function_pointer_v<decltype(handler)>) {
    return (server.*handler)(connection, request);
  } else {
    return handler(connection, request);
  }
}

MHD_Result proxyPrivate(const HttpServer& server, MHD_Connection* connection, RequestData& request,
                        const std::string& url)
{
  return server.onPackageProxyRequest(connection, request, url, false);
}

MHD_Result proxyPublic(const HttpServer& server, MHD_Connection* connection, RequestData& request,
                       const std::string& url)
{
  return server.onPackageProxyRequest(connection, request, url, true);
}

const Route privateProxy{"/proxy/", proxyPrivate, true, Routing::ProxyPort::Private};
const Route publicProxy{"/proxy_public/", proxyPublic, true, Routing::ProxyPort::Public};

// Tested top to bottom; a more specific pattern must come before any pattern it contains
// ("/package/list.cgi" before "/package/", "/proxy/" before "/package/").
const Route routes[] = {
    {"/api_check.cgi", call<&HttpServer::onApiCheckRequest>, false},
    {"/package/list.cgi", call<&HttpServer::onPackageListRequest>, false},
    {"/package/get_storage.cgi", call<&HttpServer::onGetStorageRequest>, false},
    {"/package/status.cgi", call<&HttpServer::onPackageStatusRequest>, false},
    {"/package/log.cgi", call<&HttpServer::onPackageLogRequest>, false},
    {"/package/install.cgi", call<&HttpServer::onInstallRequest>},
    {"/package/remove.cgi", call<&HttpServer::onRemoveRequest>},
    {"/package/settings.cgi", call<&HttpServer::onSettingsRequest>},
    {"/package/data.cgi", call<&HttpServer::onPackageDataRequest>},
    privateProxy,
    publicProxy,
    {"/package/",
     [](const HttpServer& s, MHD_Connection* c, RequestData& r, const std::string& url) {
       return s.onPackageUiRequest(c, r, url);
     },
     false},
    {"/proxy.cgi", call<&HttpServer::onProxyRequest>},
    {"/node_update.cgi", call<&HttpServer::onNodeUpdateRequest>},
    {"/network_camera_list.cgi", call<&HttpServer::onNetworkCameraListRequest>},
    {"/diagnostics.cgi", call<&HttpServer::onDiagnosticsRequest>},
    {"/report.cgi", call<&HttpServer::onReportRequest>},
};

} // namespace

const Route* Routing::findRoute(const std::string& url)
{
  for (const Route* prefix : {&privateProxy, &publicProxy}) {
    if (url.rfind(prefix->pattern, 0) == 0) {
      return prefix;
    }
  }
  for (const Route& route : routes) {
    if (url.find(route.pattern) != std::string::npos) {
      return &route;
    }
  }
  return nullptr;
}
