#include "http/Routing.h"

#include "http/HttpServer.h"
#include "http/RequestData.h"

#include <iterator>

namespace {

using Routing::Route;

// Tested top to bottom; a more specific pattern must come before any pattern it contains
// ("/package/list.cgi" before "/package/", "/proxy/" before "/package/").
const Route routes[] = {
    {"/api_check.cgi",
     [](const HttpServer& s, MHD_Connection* c, RequestData& r, const std::string&) {
       return s.onApiCheckRequest(c, r);
     },
     false},
    {"/package/list.cgi",
     [](const HttpServer& s, MHD_Connection* c, RequestData& r, const std::string&) {
       return s.onPackageListRequest(c, r);
     },
     false},
    {"/package/get_storage.cgi",
     [](const HttpServer& s, MHD_Connection* c, RequestData& r, const std::string&) {
       return s.onGetStorageRequest(c, r);
     },
     false},
    {"/package/status.cgi",
     [](const HttpServer& s, MHD_Connection* c, RequestData& r, const std::string&) {
       return s.onPackageStatusRequest(c, r);
     },
     false},
    {"/package/log.cgi",
     [](const HttpServer& s, MHD_Connection* c, RequestData& r, const std::string&) {
       return s.onPackageLogRequest(c, r);
     },
     false},
    {"/package/install.cgi", [](const HttpServer& s, MHD_Connection* c, RequestData& r,
                                const std::string&) { return s.onInstallRequest(c, r); }},
    {"/package/remove.cgi", [](const HttpServer& s, MHD_Connection* c, RequestData& r,
                               const std::string&) { return s.onRemoveRequest(c, r); }},
    {"/package/settings.cgi", [](const HttpServer& s, MHD_Connection* c, RequestData& r,
                                 const std::string&) { return s.onSettingsRequest(c, r); }},
    {"/package/data.cgi", [](const HttpServer& s, MHD_Connection* c, RequestData& r,
                             const std::string&) { return s.onPackageDataRequest(c, r); }},
    {"/proxy/", [](const HttpServer& s, MHD_Connection* c, RequestData& r,
                   const std::string& url) { return s.onPackageProxyRequest(c, r, url, false); }},
    {"/proxy_public/", [](const HttpServer& s, MHD_Connection* c, RequestData& r,
                          const std::string& url) { return s.onPackageProxyRequest(c, r, url, true); }},
    {"/package/",
     [](const HttpServer& s, MHD_Connection* c, RequestData& r, const std::string& url) {
       return s.onPackageUiRequest(c, r, url);
     },
     false},
    {"/proxy.cgi", [](const HttpServer& s, MHD_Connection* c, RequestData& r,
                      const std::string&) { return s.onProxyRequest(c, r); }},
    {"/node_update.cgi", [](const HttpServer& s, MHD_Connection* c, RequestData& r,
                            const std::string&) { return s.onNodeUpdateRequest(c, r); }},
    {"/network_camera_list.cgi", [](const HttpServer& s, MHD_Connection* c, RequestData& r,
                                    const std::string&) { return s.onNetworkCameraListRequest(c, r); }},
    {"/diagnostics.cgi", [](const HttpServer& s, MHD_Connection* c, RequestData& r,
                            const std::string&) { return s.onDiagnosticsRequest(c, r); }},
    {"/report.cgi", [](const HttpServer& s, MHD_Connection* c, RequestData& r,
                       const std::string&) { return s.onReportRequest(c, r); }},
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
