#include "ws/WsServer.h"

#include "util/Limits.h"
#include "util/Logger.h"
#include "util/ThreadName.h"
#include "ws/BasicConnection.h"
#include "ws/CameraEventsConnection.h"
#include "ws/PlatformWorkers.h"
#include "ws/ServiceWake.h"

#include <libwebsockets.h>

#include <chrono>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t cameraEventsRxBufferSize = 2097152;
constexpr int startWaitRounds = 1000;
constexpr auto startWaitStep = std::chrono::milliseconds(5);
// A burst of refused upgrades ends after this long without one.
constexpr lws_usec_t refusalQuietPeriod = 10 * LWS_US_PER_SEC;

int httpOnlyCallback(lws* wsi, lws_callback_reasons reason, void*, void*, size_t)
{
  // Only the connection's own events: the service-wide ones come with a handle that
  // belongs to no connection.
  if (wsi == nullptr || (reason != LWS_CALLBACK_HTTP_CONFIRM_UPGRADE && reason != LWS_CALLBACK_ESTABLISHED &&
                         reason != LWS_CALLBACK_CLOSED && reason != LWS_CALLBACK_WSI_DESTROY))
    return 0;
  try {
    auto* server = static_cast<WsServer*>(lws_context_user(lws_get_context(wsi)));
    return server != nullptr ? server->handleHttpOnlyCallback(wsi, reason) : 0;
  } catch (const std::exception& e) {
    Logger::log(std::string("WsServer - ") + e.what(), LogLevel::Error);
  } catch (...) {
    Logger::log("WsServer - unknown error in a connection callback", LogLevel::Error);
  }
  return -1;
}

// Without a server, connections are closed. Other callbacks are not about a connection:
// -1 on the service-wide ones (the wake-up pipe, protocol set-up) would make libwebsockets
// close its own internal handles and later free them twice.
int refusedWithoutServer(lws_callback_reasons reason)
{
  switch (reason) {
  case LWS_CALLBACK_ESTABLISHED:
  case LWS_CALLBACK_RECEIVE:
  case LWS_CALLBACK_SERVER_WRITEABLE:
  case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
    return -1;
  default:
    return 0;
  }
}

int cameraEventsCallback(lws* wsi, lws_callback_reasons reason, void* /*user*/, void* in, size_t len)
{
  // No exception may unwind into libwebsockets.
  try {
    // The server lives as long as the context that hands it back: it destroys the context
    // on the service thread before it goes.
    auto* server = wsi != nullptr ? static_cast<WsServer*>(lws_context_user(lws_get_context(wsi))) : nullptr;
    if (server == nullptr)
      return refusedWithoutServer(reason);
    return server->handleCallback(wsi, reason, in, len);
  } catch (const std::exception& e) {
    Logger::log(std::string("WsServer - ") + e.what(), LogLevel::Error);
  } catch (...) {
    Logger::log("WsServer - unknown error in a connection callback", LogLevel::Error);
  }
  return -1;
}

const lws_protocols protocolTable[] = {
    {"http-only", httpOnlyCallback, 0, 0, 0, nullptr, 0},
    {"camera-events", cameraEventsCallback, 0, cameraEventsRxBufferSize, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

void logFromLibrary(int level, const char* line)
{
  try {
    std::string text(line != nullptr ? line : "");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
      text.pop_back();
    Logger::log("WsServer - libwebsockets: " + text, level == LLL_ERR ? LogLevel::Error : LogLevel::Warning);
  } catch (...) {
  }
}

} // namespace

// The timer that ends a burst of refusals; libwebsockets hands back the `timer` member,
// which is first so that the whole record can be found from it.
struct WsServer::RefusalBurst {
  lws_sorted_usec_list_t timer{};
  WsServer* server = nullptr;
  unsigned refused = 0;

  static void quiet(lws_sorted_usec_list_t* timer)
  {
    try {
      reinterpret_cast<RefusalBurst*>(timer)->server->endRefusalBurst();
    } catch (...) {
    }
  }
};

WsServer::WsServer() : refusals(std::make_unique<RefusalBurst>()), wake(std::make_shared<ServiceWake>())
{
  refusals->server = this;
}

WsServer::~WsServer()
{
  stop();
}

void WsServer::stop()
{
  stopRequested = true;
  // The service loop sleeps until something happens; wake it so it sees the flag.
  wake->wake();
  if (thread && thread->joinable())
    thread->join();
  thread.reset();
  connections.clear();
  // Then the connections' last platform calls, and the destructors that waited for them.
  if (workers)
    workers->stop();
}

bool WsServer::start(uint32_t serverPort)
{
  port = serverPort;
  workers = std::make_shared<PlatformWorkers>(Limits::wsPlatformThreads,
                                              std::chrono::seconds(Limits::idleThreadSeconds));
  thread = std::make_unique<std::thread>(serviceThread, this);
  for (int round = 0; round < startWaitRounds; ++round) {
    if (startReported)
      break;
    std::this_thread::sleep_for(startWaitStep);
  }
  return startSucceeded;
}

void WsServer::serviceThread(WsServer* server)
{
  ThreadName::set("ws-service");
  BasicConnection::markServiceThread();
  lws_set_log_level(LLL_ERR | LLL_WARN, logFromLibrary);

  lws_protocols protocols[sizeof(protocolTable) / sizeof(protocolTable[0])];
  std::memcpy(protocols, protocolTable, sizeof(protocols));

  lws_context_creation_info info;
  std::memset(&info, 0, sizeof(info));
  info.port = static_cast<int>(server->port);
  info.iface = "lo";
  info.protocols = protocols;
  info.gid = -1;
  info.uid = -1;
  info.user = server;

  lws_context* context = lws_create_context(&info);
  if (context == nullptr) {
    server->startSucceeded = false;
    server->startReported = true;
    return;
  }
  server->wake->attach(context);
  server->startSucceeded = true;
  server->startReported = true;

  // The service sleeps until a socket, a timer of its own or a wake-up (ServiceWake, which
  // every request from another thread and stop() go through) needs it.
  while (!server->stopRequested)
    lws_service(context, 0);

  lws_sul_cancel(&server->refusals->timer);
  server->endRefusalBurst();
  server->wake->detach();
  lws_context_destroy(context);
}

std::shared_ptr<ServiceWake> WsServer::serviceWakeOf(lws* wsi)
{
  auto* server = static_cast<WsServer*>(lws_context_user(lws_get_context(wsi)));
  return server != nullptr ? server->wake : nullptr;
}

std::shared_ptr<PlatformWorkers> WsServer::platformWorkersOf(lws* wsi)
{
  auto* server = static_cast<WsServer*>(lws_context_user(lws_get_context(wsi)));
  return server != nullptr ? server->workers : nullptr;
}

void WsServer::wakeConnections()
{
  // Only the connections that asked: walking all of them on every answer would cost each
  // answer the number of open connections.
  for (lws* wsi : wake->woken()) {
    const auto found = connections.find(wsi);
    if (found != connections.end())
      found->second->flushWakeRequest();
  }
}

void WsServer::forget(lws* wsi)
{
  const auto found = connections.find(wsi);
  if (found != connections.end()) {
    // A connection's destructor withdraws its declarations from the platform: not here.
    std::shared_ptr<BasicConnection> connection = std::move(found->second);
    connections.erase(found);
    if (workers)
      workers->release(std::move(connection));
  }
  httpOnlyConnections.erase(wsi);
}

void WsServer::refuse(lws* wsi)
{
  if (refusals->refused++ == 0)
    Logger::log("WsServer - " + std::to_string(Limits::maxWsConnections) +
                    " WebSocket connections open, refusing new ones until some close",
                LogLevel::Warning);
  // Each refusal moves the end of the burst further out.
  lws_sul_schedule(lws_get_context(wsi), 0, &refusals->timer, &RefusalBurst::quiet, refusalQuietPeriod);
  lws_return_http_status(wsi, HTTP_STATUS_SERVICE_UNAVAILABLE,
                         "Too many WebSocket connections, try again later");
}

void WsServer::endRefusalBurst()
{
  if (refusals->refused > 1)
    Logger::log("WsServer - refused " + std::to_string(refusals->refused) +
                    " WebSocket connections at the limit of " + std::to_string(Limits::maxWsConnections),
                LogLevel::Warning);
  refusals->refused = 0;
}

int WsServer::handleHttpOnlyCallback(lws* wsi, int reason)
{
  switch (reason) {
  case LWS_CALLBACK_HTTP_CONFIRM_UPGRADE:
    // Every upgrade reaches this protocol before one is chosen, and the connection's own
    // ESTABLISHED follows within the same service call, so the count cannot be overtaken.
    if (connections.size() + httpOnlyConnections.size() < Limits::maxWsConnections)
      return 0;
    refuse(wsi);
    // Positive: the answer has been given.
    return 1;
  case LWS_CALLBACK_ESTABLISHED:
    httpOnlyConnections.insert(wsi);
    return 0;
  default:
    forget(wsi);
    return 0;
  }
}

int WsServer::handleCallback(lws* wsi, int reason, void* in, std::size_t len)
{
  switch (reason) {
  case LWS_CALLBACK_ESTABLISHED: {
    Logger::log("WsServer - new connection established", LogLevel::Debug);
    std::shared_ptr<BasicConnection> connection = std::make_shared<CameraEventsConnection>(wsi);
    forget(wsi);
    connections[wsi] = std::move(connection);
    return 0;
  }
  case LWS_CALLBACK_CLOSED:
    Logger::log("WsServer - connection closed", LogLevel::Debug);
    forget(wsi);
    return 0;
  case LWS_CALLBACK_WSI_DESTROY:
    // A handle that goes without CLOSED must not stay counted, nor be found again when
    // its address is reused.
    forget(wsi);
    return 0;
  case LWS_CALLBACK_RECEIVE: {
    auto found = connections.find(wsi);
    if (found == connections.end())
      return 0;
    std::shared_ptr<BasicConnection> connection = found->second;
    std::string fragment = in != nullptr ? std::string(static_cast<const char*>(in), len) : std::string();
    const bool binary = lws_frame_is_binary(wsi) != 0;
    const bool final = lws_is_final_fragment(wsi) != 0;
    connection->onReceive(std::move(fragment), binary, final);
    if (connection->receiveRejected()) {
      static const char reasonText[] = "message too large";
      lws_close_reason(wsi, LWS_CLOSE_STATUS_MESSAGE_TOO_LARGE,
                       reinterpret_cast<unsigned char*>(const_cast<char*>(reasonText)),
                       sizeof(reasonText) - 1);
      return -1;
    }
    return 0;
  }
  case LWS_CALLBACK_SERVER_WRITEABLE: {
    auto found = connections.find(wsi);
    if (found == connections.end())
      return 0;
    return found->second->onWritable() ? 0 : -1;
  }
  case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
    wakeConnections();
    return 0;
  default:
    return 0;
  }
}
