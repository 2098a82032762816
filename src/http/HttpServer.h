#pragma once

// Endpoint handlers are declared here, one group per source file.

#include "http/ConnectionRegistry.h"
#include "http/WorkerPool.h"
#include "util/CHandle.h"
#include "util/Failure.h"
#include "util/Logger.h"
#include "util/UniqueFd.h"

#include <microhttpd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct DeferredAnswer;
struct RequestData;
class PackageController;
class CameraParameters;
class ProxyFrontEnd;

// The HTTP API server on the loopback interface. A front end (ProxyFrontEnd) accepts every
// connection and serves plain package proxy requests itself; libmicrohttpd serves the rest,
// uploads on a daemon of their own: a few event-loop threads serve its connections, each
// request gathered into a `RequestData` and routed by its URL (see
// Routing.h) to one handler. A handler that may block runs on a bounded worker pool while its
// connection is suspended; when every worker is busy and the pool's queue is full the request
// is answered 503. Handlers that never block run on the event loop. At most
// Limits::maxHttpConnections connections are held (see ConnectionRegistry); a new one must
// send its request head before Limits::httpRequestHeadTimeoutSeconds pass without a byte,
// later it may stay quiet for Limits::httpIdleTimeoutSeconds. A body other than an upload
// larger than Limits::maxRequestBodyBytes is answered 413.
class HttpServer {
public:
  // The handlers reach the packages through `packages` and the application's parameters
  // (the Node.js location) through `params`.
  HttpServer(std::shared_ptr<PackageController> packages, std::shared_ptr<CameraParameters> params);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  // Stops the daemon (see stop).
  ~HttpServer();

  // Starts listening on 127.0.0.1:`port`. False when the daemon could not be started.
  bool start(uint16_t port);

  // Stops accepting connections, lets every handler handed to a worker finish (a streamed
  // body still arriving is cut short), then closes every connection and joins every thread.
  // Nothing is done when the daemon is not running.
  void stop();

  // libmicrohttpd's callbacks; the closure of onRequest is the server, that of
  // onRequestCompleted the server's ConnectionRegistry.
  static MHD_Result onRequest(void* closure, MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* uploadData, size_t* uploadDataSize,
                              void** requestPointer);
  static void onRequestCompleted(void* closure, MHD_Connection* connection, void** requestPointer,
                                 MHD_RequestTerminationCode reason);
  static MHD_Result collectValue(void* requestData, MHD_ValueKind kind, const char* key, const char* value);

  // Queues `response` (owned from here, may be null) with `code` on `connection`. While a
  // handler for `connection` runs on a worker, the answer is kept for the server to queue once
  // the handler is done.
  static MHD_Result queueResponse(MHD_Connection* connection, unsigned code, MHD_Response* response);
  // While a handler for `connection` runs on a worker, leaves `work` to run on the worker once
  // the answer is queued, and returns true; false otherwise.
  static bool afterAnswer(MHD_Connection* connection, std::function<void()> work);
  // Marks the suspended `connection` as answered by the handler of `request`, running on a
  // worker, for its lifetime.
  class AnswerLater {
  public:
    AnswerLater(MHD_Connection* connection, RequestData& request);
    AnswerLater(const AnswerLater&) = delete;
    AnswerLater& operator=(const AnswerLater&) = delete;
    ~AnswerLater();

  private:
    DeferredAnswer* const deferred;
  };

  // Response functions. Each queues its answer on `connection` (see queueResponse) and returns
  // the queue result.
  // Answers `code` with the JSON status body (see jsonStatusBody) built from `message`, or
  // with `message` itself when `raw` is set; Content-Type "application/json". A code other
  // than 200 logs the message once, at the level of `logLevelFor(code)`.
  static MHD_Result sendJsonStatus(MHD_Connection* connection, unsigned code, const std::string& message,
                                   bool raw = false);
  // The same JSON status with a "reason" field: why, in words a client can show, when the
  // message alone does not say. Logs the message and the reason in one line at `level`.
  static MHD_Result sendJsonError(MHD_Connection* connection, unsigned code, const std::string& message,
                                  const std::string& reason, LogLevel level);
  static MHD_Result sendJsonError(MHD_Connection* connection, unsigned code, const std::string& message,
                                  const std::string& reason);
  // Answers `code` with the JSON status of `message` and logs, once, the message and the
  // failure's reason at the level of `logLevelFor(failure)`.
  static MHD_Result sendFailure(MHD_Connection* connection, unsigned code, const std::string& message,
                                const Failure& failure);

  // The one place where what went wrong meets how it is answered and logged. A failure
  // reported from below is answered with the status its kind calls for (where an endpoint's
  // answer does not fix the status), and logged at Warning when the client caused it (bad
  // input, too large, not found, conflict), at Error when Orvane did (I/O, internal).
  static unsigned statusFor(const Failure& failure);
  static LogLevel logLevelFor(const Failure& failure);
  // The level of an answer's log line: Warning for a 4xx status, Error otherwise.
  static LogLevel logLevelFor(unsigned code);
  // Answers 200 with `body` as `contentType`.
  static MHD_Result sendBuffer(MHD_Connection* connection, const std::string& contentType,
                               const std::string& body);
  // Answers `code` with `size` bytes read from `fd`, which the library closes when done; with
  // a non-empty `attachmentName`, as a download to be saved under that name.
  static MHD_Result sendFile(MHD_Connection* connection, unsigned code, uint64_t size, int fd,
                             const std::string& contentType, const std::string& attachmentName = "");
  // Answers `code` with `body` and the headers of `headerLines`, the raw lines of an
  // upstream response (see UpstreamHeadLines.h). Unless `logBody` is false, a code other than
  // 200 logs the body (when there is one) at level Error.
  static MHD_Result sendWithHeaders(MHD_Connection* connection, unsigned code,
                                    const std::vector<std::string>& headerLines, const std::string& body,
                                    bool logBody = true);
  // The 400 answer to a URL that no route takes, with the message `unknownRequestMessage`.
  static MHD_Result sendUnknownRequest(MHD_Connection* connection, const std::string& url);
  static std::string unknownRequestMessage(const std::string& url);

  // The Content-Type of a file extension given with its dot (".html"); "text/plain" for
  // anything unknown. Compared exactly, case-sensitively.
  static std::string mimeTypeForExtension(const std::string& extension);

  // API check (PackageEndpoints.cpp): 200 "OK".
  static MHD_Result onApiCheckRequest(MHD_Connection* connection, RequestData& request);

  // Package management (PackageEndpoints.cpp).
  static MHD_Result onPackageListRequest(MHD_Connection* connection, RequestData& request);
  static MHD_Result onGetStorageRequest(MHD_Connection* connection, RequestData& request);
  MHD_Result onRemoveRequest(MHD_Connection* connection, RequestData& request) const;
  MHD_Result onSettingsRequest(MHD_Connection* connection, RequestData& request) const;
  // The list entries of the package directories below `directory`, on `storage`: the
  // manifest as Orvane writes it, or, where it cannot be read, the directory's name and why.
  static std::vector<std::string> listManifests(const std::string& directory, const char* storage);
  // "[" + the FLASH entries, then the SD_DISK entries + "]".
  static std::string packageListBody();

  // Package supervision (StatusEndpoints.cpp): what each installed package is doing, and
  // the recent lines of one.
  MHD_Result onPackageStatusRequest(MHD_Connection* connection, RequestData& request) const;
  MHD_Result onPackageLogRequest(MHD_Connection* connection, RequestData& request) const;

  // Installation (InstallEndpoint.cpp).
  MHD_Result onInstallRequest(MHD_Connection* connection, RequestData& request) const;

  // Package data import and export.
  MHD_Result onPackageDataRequest(MHD_Connection* connection, RequestData& request) const;
  // Writes the archive of the local data and returns its path; throws a Failure when it
  // cannot be written.
  static std::string exportPackageData(const std::string& localDataDirectory);

  // Proxies and package UI files.
  MHD_Result onPackageProxyRequest(MHD_Connection* connection, RequestData& request, const std::string& url,
                                   bool isPublic) const;
  MHD_Result onPackageUiRequest(MHD_Connection* connection, RequestData& request,
                                const std::string& url) const;
  static MHD_Result onProxyRequest(MHD_Connection* connection, const RequestData& request);

  // System endpoints.
  MHD_Result onNodeUpdateRequest(MHD_Connection* connection, RequestData& request) const;
  static MHD_Result onNetworkCameraListRequest(MHD_Connection* connection, RequestData& request);
  MHD_Result onDiagnosticsRequest(MHD_Connection* connection, RequestData& request) const;
  MHD_Result onReportRequest(MHD_Connection* connection, RequestData& request) const;
  std::string nodeState() const;

private:
  // Gives a connection accepted by the front end to the upload daemon when `upload` and it
  // has a place, else to the main one. False when the library refused it (and closed it).
  bool handOff(int fd, const sockaddr* client, socklen_t length, bool upload);
  // A daemon without a listening socket (the front end hands it its connections) sharing the
  // server's callbacks and places; `notify` hears of its connections opening and closing.
  MHD_Daemon* startDaemon(MHD_NotifyConnectionCallback notify, void* notifyClosure, unsigned connectionLimit,
                          size_t connectionMemory, unsigned threads);
  static void onUploadConnection(void* server, MHD_Connection* connection, void** socketContext,
                                 MHD_ConnectionNotificationCode code);

  // Completes `request`: answers it at once, or hands its handler to a worker.
  MHD_Result processRequest(MHD_Connection* connection, RequestData& request, const std::string& url);

  // The parameter's cached value: the Node.js runtime's directory, empty when none.
  std::string nodejsLocation() const;

  const std::shared_ptr<PackageController> packages;
  const std::shared_ptr<CameraParameters> params;
  // Declared first, so that it outlives the daemon whose callbacks use it.
  ConnectionRegistry connections;
  std::unique_ptr<WorkerPool> workers;
  CHandle<MHD_Daemon, MHD_stop_daemon> daemon;
  CHandle<MHD_Daemon, MHD_stop_daemon> uploadDaemon;
  std::atomic<unsigned> uploadConnections{0};
  // Declared after the daemon, so that it is stopped before the daemon it hands connections to.
  std::unique_ptr<ProxyFrontEnd> frontEnd;
  UniqueFd listenSocket;
};
