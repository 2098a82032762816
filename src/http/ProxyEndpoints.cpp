#include "http/HttpServer.h"

#include "camera/HttpClient.h"
#include "http/ProxyTarget.h"
#include "http/RequestData.h"
#include "http/StreamedResponse.h"
#include "http/UiFile.h"
#include "packages/PackageController.h"
#include "packages/PackageName.h"
#include "util/FileUtils.h"
#include "util/Logger.h"

#include <memory>

// The package proxy, the package UI files and the camera proxy.

namespace {

using ProxyTarget::Upstream;

// A transfer that brought no answer is reported by this server, never passed off as an empty
// answer of the upstream's.
MHD_Result answerNoAnswer(MHD_Connection* connection, const Upstream& upstream, int32_t curlCode)
{
  return HttpServer::sendJsonError(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                                   ProxyTarget::noAnswerMessage(upstream),
                                   curl_easy_strerror(static_cast<CURLcode>(curlCode)));
}

// Answers with the upstream's status, headers and body. An answer that fits the ETag cache
// is given whole (and may come from the cache); a larger body goes to the client as it
// arrives, so that no answer is ever held whole.
MHD_Result forward(MHD_Connection* connection, const RequestData& request, const std::string& url,
                   const HttpClient::RequestHook& hook, const Upstream& upstream)
{
  // No time limit on the transfer itself: a large body may take longer than the limit to
  // reach a slow client. The limit applies to the wait for the upstream instead.
  std::unique_ptr<HttpClient::Request> prepared =
      request.method == "GET"
          ? HttpClient::prepareGet(url, "", 0, hook)
          : HttpClient::preparePost(url, request.body, request.header("Content-Type"), "", 0, hook);
  if (!prepared) {
    return answerNoAnswer(connection, upstream, HttpClient::Response().curlCode);
  }
  std::unique_ptr<StreamedResponse> transfer =
      StreamedResponse::start(std::move(prepared), ProxyTarget::upstreamTimeoutSeconds);
  if (transfer->isComplete()) {
    const auto response = transfer->finish();
    if (response->curlCode != CURLE_OK) {
      return answerNoAnswer(connection, upstream, response->curlCode);
    }
    if (!ProxyTarget::isFinalStatus(response->statusCode)) {
      return answerNoAnswer(connection, upstream, CURLE_WEIRD_SERVER_REPLY);
    }
    const unsigned status = ProxyTarget::clientStatus(response->statusCode);
    ProxyTarget::logFailureAnswer(upstream, request, status, response->body);
    return HttpServer::sendWithHeaders(connection, status, response->headers, response->body, false);
  }
  if (!ProxyTarget::isFinalStatus(transfer->status())) {
    return answerNoAnswer(connection, upstream, CURLE_WEIRD_SERVER_REPLY);
  }
  const unsigned status = ProxyTarget::clientStatus(transfer->status());
  ProxyTarget::logFailureAnswer(upstream, request, status, transfer->received().body);
  const std::vector<std::string> headerLines = transfer->received().headers;
  return StreamedResponse::queue(connection, std::move(transfer), status, headerLines);
}

} // namespace

MHD_Result HttpServer::onPackageProxyRequest(MHD_Connection* connection, RequestData& request,
                                             const std::string& url, bool isPublic) const
{
  const ProxyTarget::PackageRoute route = ProxyTarget::packageRoute(url, isPublic);
  if (!route.valid) {
    return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST,
                          "Http API: proxy request error - invalid path found");
  }
  // Held for the whole request, so that the package cannot be freed while it is proxied to.
  const std::shared_ptr<Package> package = packages->getPackage(route.packageName);
  const int port = package ? package->getPort(isPublic) : Package::noPort;
  if (port == Package::noPort) {
    return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST,
                          "Http API: proxy request error - no port number found for package: " +
                              route.packageName);
  }
  // The front end forwards every request to a package that can be forwarded; what reaches
  // the library is one it left alone.
  for (const char* method : {"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
    if (request.method == method) {
      return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST,
                            "Http API: proxy request error - the request cannot be forwarded to package " +
                                route.packageName);
    }
  }
  return sendJsonStatus(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                        "Http API: proxy request error - the method " + request.method + " is not forwarded");
}

MHD_Result HttpServer::onPackageUiRequest(MHD_Connection* connection, RequestData&,
                                          const std::string& url) const
{
  const UiFile::Route route = UiFile::route(url);
  if (!route.valid) {
    return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST,
                          "Http API: UI request error - invalid path found");
  }
  // A name that breaks the package name rule is never installed, and could name "..".
  const std::string packageDirectory =
      isValidPackageName(route.packageName) ? packages->findPackagePath(route.packageName) : std::string();
  UiFile::OpenFile file;
  if (packageDirectory.empty() || !UiFile::open(packageDirectory + "/html", route.filePath, file)) {
    return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST, "Http API: UI request error - file not found");
  }
  std::string directory;
  std::string name;
  std::string extension;
  FileUtils::splitPath(route.filePath, directory, name, extension);
  return sendFile(connection, MHD_HTTP_OK, file.size, file.fd.release(), mimeTypeForExtension(extension));
}

MHD_Result HttpServer::onProxyRequest(MHD_Connection* connection, const RequestData& request)
{
  const ProxyTarget::CameraTarget target =
      ProxyTarget::cameraTarget(request, ProxyTarget::upstreamQuery(request.arguments));
  if (!ProxyTarget::isComplete(target)) {
    return sendJsonStatus(
        connection, MHD_HTTP_BAD_REQUEST,
        "Http API: missing x-target-camera-protocol, parameter target_camera_ip or target_camera_port");
  }
  const bool verify = target.verifyCertificate;
  // The body is handed on with its content encoding (gzip stays gzip, as its header says).
  // The chunked framing, though, is undone: the answer is framed again by this server, and a
  // body still holding the camera's chunk lines would reach the client with them inside.
  const HttpClient::RequestHook hook = [verify](CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(handle, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_ANY));
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
  };
  return forward(connection, request, ProxyTarget::cameraUrl(target), hook, {"camera " + target.ip, ""});
}
