#include "http/HttpServer.h"

#include "camera/HttpClient.h"
#include "http/ConnectionRegistry.h"
#include "http/CrossSiteGuard.h"
#include "http/DeferredAnswer.h"
#include "http/HttpCodec.h"
#include "http/ProxyFrontEnd.h"
#include "http/RequestData.h"
#include "http/Routing.h"
#include "http/UploadDirectory.h"
#include "mpfd/Exception.h"
#include "mpfd/Parser.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "util/StringUtils.h"
#include "util/ThreadName.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <utility>

namespace {

constexpr int64_t maxUploadCollectorLength = Limits::maxUploadPartHeaderBytes + 4096;
// The library counts a connection until it is cleaned up, some time after the connection gave
// up its place; its own limit, checked before ours, must leave room for those.
constexpr unsigned connectionsClosingSlack = 64;

void collectValues(MHD_Connection* connection, RequestData& request)
{
  MHD_get_connection_values(connection, static_cast<MHD_ValueKind>(MHD_HEADER_KIND | MHD_GET_ARGUMENT_KIND),
                            &HttpServer::collectValue, &request);
}

uint64_t announcedLength(MHD_Connection* connection)
{
  const char* length =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  uint64_t value = 0;
  return length != nullptr && HttpCodec::readContentLength(length, value) ? value : 0;
}

bool announcesBody(MHD_Connection* connection)
{
  if (announcedLength(connection) > 0) {
    return true;
  }
  const char* encoding =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
  return encoding != nullptr && StringUtils::toLowerCopy(encoding).find("chunked") != std::string::npos;
}

void refuseUpload(RequestData& request, unsigned status, const std::string& message)
{
  // Dropping the parser deletes the files it wrote; the rest of the body is read and dropped.
  request.parser.reset();
  request.uploadError = message;
  request.uploadErrorStatus = static_cast<int>(status);
}

// Logged once, when the refusal is answered.
void refuseUpload(RequestData& request, const Failure& error)
{
  refuseUpload(request, HttpServer::statusFor(error),
               std::string("Http API: upload error - ") + error.what());
}

// Chooses the upload directory and sets up the multipart parser. False, with the request's
// upload error set, when the upload cannot be received.
bool startUpload(MHD_Connection* connection, RequestData& request, const std::string& url)
{
  collectValues(connection, request);
  std::string error;
  const std::string directory = uploadDirectoryFor(url, request.argument("storage"), error);
  if (directory.empty()) {
    refuseUpload(request, MHD_HTTP_BAD_REQUEST, error);
    return false;
  }
  const std::string contentType = request.header("Content-Type");
  if (contentType.empty()) {
    refuseUpload(request, MHD_HTTP_BAD_REQUEST, "Http API: no Content-type found");
    return false;
  }
  auto parser = std::make_shared<MPFD::Parser>();
  parser->SetFileStorage(MPFD::StoreInFilesystem);
  parser->SetTempDir(directory);
  parser->SetMaxDataCollectorLength(maxUploadCollectorLength);
  try {
    parser->SetContentType(contentType);
  } catch (const MPFD::Exception& exception) {
    refuseUpload(request, exception);
    return false;
  }
  request.parser = std::move(parser);
  return true;
}

MHD_Result answerUploadError(MHD_Connection* connection, const RequestData& request)
{
  return HttpServer::sendJsonStatus(connection, static_cast<unsigned>(request.uploadErrorStatus),
                                    request.uploadError);
}

MHD_Result answerBodyTooLarge(MHD_Connection* connection)
{
  return HttpServer::sendJsonStatus(connection, MHD_HTTP_CONTENT_TOO_LARGE,
                                    "Http API: the request body is larger than " +
                                        std::to_string(Limits::maxRequestBodyBytes) + " bytes");
}

void logPath(const RequestData& request, const std::string& url)
{
  std::string query;
  for (const auto& argument : request.arguments) {
    if (!query.empty()) {
      query += "&";
    }
    query += HttpClient::urlEncode(argument.first) + "=" + HttpClient::urlEncode(argument.second);
  }
  Logger::log("Path: " + url + "?" + query, LogLevel::Trace);
}

void receiveChunk(MHD_Connection* connection, RequestData& request, const std::string& url, const char* data,
                  size_t size)
{
  if (!isUploadUrl(url)) {
    if (request.bodyTooLarge) {
      return;
    }
    if (size > Limits::maxRequestBodyBytes - request.body.size()) {
      request.bodyTooLarge = true;
      std::string().swap(request.body);
      return;
    }
    request.body.append(data, size);
    return;
  }
  if (!request.uploadError.empty()) {
    return;
  }
  if (!request.parser && !startUpload(connection, request, url)) {
    return;
  }
  try {
    request.parser->AcceptSomeData(data, size);
  } catch (const MPFD::Exception& exception) {
    refuseUpload(request, exception);
  }
}

void onConnection(void* registry, MHD_Connection* connection, void** socketContext,
                  MHD_ConnectionNotificationCode code)
{
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    delete static_cast<DeferredAnswer*>(*socketContext);
    *socketContext = nullptr;
  } else {
    *socketContext = new (std::nothrow) DeferredAnswer();
  }
  try {
    auto& connections = *static_cast<ConnectionRegistry*>(registry);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      connections.closed(connection);
      return;
    }
    // Until its first request head is complete a connection has a short time to speak; the
    // first request raises it (see onRequest).
    MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT,
                              static_cast<unsigned>(Limits::httpRequestHeadTimeoutSeconds));
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr) {
      connections.opened(connection, info->connect_fd);
    }
  } catch (const std::exception& exception) {
    Logger::log(std::string("HttpServer: ") + exception.what(), LogLevel::Error);
  }
}

size_t unescape(void*, MHD_Connection*, char* text)
{
  return percentDecode(text);
}

MHD_Result queueAnswer(MHD_Connection* connection, RequestData& request)
{
  if (!request.answered || !request.answer) {
    return MHD_NO;
  }
  const MHD_Result result = MHD_queue_response(connection, request.answerCode, request.answer.get());
  request.answer.reset();
  return result;
}

} // namespace

MHD_Result HttpServer::processRequest(MHD_Connection* connection, RequestData& request,
                                      const std::string& url)
{
  collectValues(connection, request);
  request.url = url;
  if (Logger::getLevel() == LogLevel::Trace) {
    logPath(request, url);
  }
  if (!request.uploadError.empty()) {
    return answerUploadError(connection, request);
  }
  if (request.bodyTooLarge) {
    return answerBodyTooLarge(connection);
  }
  if (request.parser && !request.parser->IsComplete()) {
    refuseUpload(request, MHD_HTTP_BAD_REQUEST,
                 "Http API: upload error - the body ends before its closing boundary");
    return answerUploadError(connection, request);
  }
  if (!request.body.empty() && request.header("Content-Type") == "application/x-www-form-urlencoded") {
    for (auto& field : parseFormBody(request.body)) {
      request.arguments[field.first] = std::move(field.second);
    }
  }
  const Routing::Route* route = Routing::findRoute(url);
  if (route == nullptr) {
    return sendUnknownRequest(connection, url);
  }
  if (const std::string refused = CrossSiteGuard::refusal(route->pattern, request); !refused.empty()) {
    return sendJsonError(connection, MHD_HTTP_FORBIDDEN, CrossSiteGuard::refusedMessage, refused);
  }
  if (!route->mayBlock) {
    try {
      return route->handler(*this, connection, request, url);
    } catch (const std::exception& exception) {
      return sendJsonStatus(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, exception.what());
    }
  }
  if (!workers->reserve()) {
    return sendJsonStatus(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                          "Http API: too many requests in progress, try again later");
  }
  // Suspended before the handler is handed over, so that the worker's resume always follows.
  request.stage = RequestData::Stage::Handling;
  MHD_suspend_connection(connection);
  workers->post([this, connection, route, &request]() {
    std::function<void()> afterwards;
    {
      AnswerLater answerLater(connection, request);
      try {
        request.answered = route->handler(*this, connection, request, request.url) == MHD_YES;
      } catch (const std::exception& exception) {
        request.answered =
            sendJsonStatus(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, exception.what()) == MHD_YES;
      }
      request.stage = RequestData::Stage::Answered;
      afterwards = std::move(request.afterAnswer);
    }
    // From here on the server owns the request again and may end it at any time.
    MHD_resume_connection(connection);
    if (afterwards) {
      afterwards();
    }
  });
  return MHD_YES;
}

HttpServer::HttpServer(std::shared_ptr<PackageController> packages, std::shared_ptr<CameraParameters> params)
    : packages(std::move(packages)), params(std::move(params)), connections(Limits::maxHttpConnections)
{
}

HttpServer::~HttpServer()
{
  stop();
}

void HttpServer::stop()
{
  if (!workers) {
    return;
  }
  // No new connection reaches the library from here on.
  frontEnd.reset();
  // Every suspended connection is resumed by the handler it waits for: the library refuses to
  // stop while one is still suspended.
  workers->stop();
  daemon.reset();
  uploadDaemon.reset();
  listenSocket.reset();
  workers.reset();
}

bool HttpServer::start(uint16_t port)
{
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int reuse = 1;
  if (!socket || setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
      bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(socket.get(), SOMAXCONN) != 0) {
    Logger::log("HttpServer: cannot listen on port " + std::to_string(port) + ": " + std::strerror(errno),
                LogLevel::Error);
    return false;
  }
  workers = std::make_unique<WorkerPool>(Limits::httpWorkerThreads, Limits::maxHttpQueuedRequests,
                                         std::chrono::seconds(Limits::idleThreadSeconds), "http-worker");
  // The front end accepts every connection and hands the library those it does not serve;
  // uploads go to a daemon of their own, whose connections read the body in larger pieces.
  daemon.reset(startDaemon(&onConnection, &connections, Limits::maxHttpConnections,
                           Limits::httpConnectionMemoryBytes, Limits::httpEventThreads));
  uploadDaemon.reset(startDaemon(&onUploadConnection, this, Limits::maxHttpUploadConnections,
                                 Limits::httpUploadConnectionMemoryBytes, 1));
  if (!daemon || !uploadDaemon) {
    stop();
    return false;
  }
  frontEnd = std::make_unique<ProxyFrontEnd>(
      packages, connections, [this](int fd, const sockaddr* client, socklen_t length, bool upload) {
        return handOff(fd, client, length, upload);
      });
  bool frontEndStarted = false;
  {
    // The front end's loops take this name from the thread that starts them.
    ThreadName::Scope name("http-front");
    frontEndStarted = frontEnd->start(socket.get(), Limits::proxyLoops);
  }
  if (!frontEndStarted) {
    frontEnd.reset();
    stop();
    return false;
  }
  listenSocket = std::move(socket);
  return true;
}

MHD_Daemon* HttpServer::startDaemon(MHD_NotifyConnectionCallback notify, void* notifyClosure,
                                    unsigned connectionLimit, size_t connectionMemory, unsigned threads)
{
  // No accept policy: every connection comes from the front end, which took its place in the
  // registry when it accepted it, and hands the place over with it.
  return MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ITC, 0,
      nullptr, nullptr, &HttpServer::onRequest, this, MHD_OPTION_NOTIFY_COMPLETED,
      &HttpServer::onRequestCompleted, &connections, MHD_OPTION_NOTIFY_CONNECTION, notify, notifyClosure,
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(Limits::httpIdleTimeoutSeconds),
      MHD_OPTION_CONNECTION_LIMIT, connectionLimit + connectionsClosingSlack, MHD_OPTION_UNESCAPE_CALLBACK,
      &unescape, nullptr, MHD_OPTION_CONNECTION_MEMORY_LIMIT, connectionMemory, MHD_OPTION_THREAD_POOL_SIZE,
      threads, MHD_OPTION_END);
}

bool HttpServer::handOff(int fd, const sockaddr* client, socklen_t length, bool upload)
{
  // A connection beyond the upload daemon's places still gets its upload, in smaller pieces.
  if (upload && uploadConnections.fetch_add(1) < Limits::maxHttpUploadConnections) {
    if (MHD_add_connection(uploadDaemon.get(), fd, client, length) == MHD_YES) {
      return true;
    }
    --uploadConnections;
    return false;
  }
  if (upload) {
    --uploadConnections;
  }
  return MHD_add_connection(daemon.get(), fd, client, length) == MHD_YES;
}

void HttpServer::onUploadConnection(void* server, MHD_Connection* connection, void** socketContext,
                                    MHD_ConnectionNotificationCode code)
{
  auto& self = *static_cast<HttpServer*>(server);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    --self.uploadConnections;
  }
  onConnection(&self.connections, connection, socketContext, code);
}

MHD_Result HttpServer::onRequest(void* closure, MHD_Connection* connection, const char* url,
                                 const char* method, const char*, const char* uploadData,
                                 size_t* uploadDataSize, void** requestPointer)
{
  try {
    auto& server = *static_cast<HttpServer*>(closure);
    auto* request = static_cast<RequestData*>(*requestPointer);
    if (request != nullptr && request->stage != RequestData::Stage::Receiving) {
      return request->stage == RequestData::Stage::Answered ? queueAnswer(connection, *request) : MHD_YES;
    }
    const std::string path = url != nullptr ? url : "";
    if (request == nullptr) {
      // The head is complete: from now on the connection is busy, and between requests only
      // the idle timeout applies.
      server.connections.requestStarted(connection);
      MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT,
                                static_cast<unsigned>(Limits::httpIdleTimeoutSeconds));
      auto created = std::make_unique<RequestData>();
      created->method = method;
      // A body that cannot be received is refused before it is read: once the body is
      // flowing, the library only lets us answer after the last byte.
      const bool upload = isUploadUrl(path);
      const bool tooLarge =
          created->method != "GET" && !upload && announcedLength(connection) > Limits::maxRequestBodyBytes;
      const bool refused = created->method != "GET" && upload && announcesBody(connection) &&
                           !startUpload(connection, *created, path);
      *requestPointer = created.release();
      if (tooLarge) {
        return answerBodyTooLarge(connection);
      }
      if (refused) {
        return answerUploadError(connection, *static_cast<RequestData*>(*requestPointer));
      }
      return MHD_YES;
    }
    request->method = method;
    if (request->method == "GET" || *uploadDataSize == 0) {
      if (request->received > 0) {
        server.connections.received(connection);
      }
      return server.processRequest(connection, *request, path);
    }
    request->received += *uploadDataSize;
    server.connections.receiving(connection, request->received);
    if (!request->arrival.keepsUp(request->received)) {
      // The library answers only once the whole body is in: closing is all that is left.
      Logger::log("HttpServer: connection closed, its request body arrives slower than " +
                      std::to_string(Limits::minRequestBytesPerSecond) + " bytes per second",
                  LogLevel::Warning);
      return MHD_NO;
    }
    receiveChunk(connection, *request, path, uploadData, *uploadDataSize);
    *uploadDataSize = 0;
    return MHD_YES;
  } catch (const std::exception& exception) {
    Logger::log(std::string("HttpServer: ") + exception.what(), LogLevel::Error);
  } catch (...) {
    Logger::log("HttpServer: unexpected failure", LogLevel::Error);
  }
  return MHD_NO;
}

void HttpServer::onRequestCompleted(void* registry, MHD_Connection* connection, void** requestPointer,
                                    MHD_RequestTerminationCode)
{
  delete static_cast<RequestData*>(*requestPointer);
  *requestPointer = nullptr;
  try {
    static_cast<ConnectionRegistry*>(registry)->requestEnded(connection);
  } catch (const std::exception& exception) {
    Logger::log(std::string("HttpServer: ") + exception.what(), LogLevel::Error);
  }
}

MHD_Result HttpServer::collectValue(void* requestData, MHD_ValueKind kind, const char* key, const char* value)
{
  if (key == nullptr || value == nullptr) {
    return MHD_YES;
  }
  try {
    auto& request = *static_cast<RequestData*>(requestData);
    if (kind == MHD_GET_ARGUMENT_KIND) {
      Logger::log(std::string("Received get parameter: ") + key + " = " + value, LogLevel::Debug);
      request.arguments[key] = value;
    } else if (kind == MHD_HEADER_KIND) {
      request.headers[StringUtils::toLowerCopy(key)] = value;
    }
  } catch (const std::exception& exception) {
    Logger::log(std::string("HttpServer: ") + exception.what(), LogLevel::Error);
  }
  return MHD_YES;
}
