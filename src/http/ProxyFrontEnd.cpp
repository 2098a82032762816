#include "http/ProxyFrontEnd.h"

#include "camera/HttpManager.h"
#include "http/AnswerHead.h"
#include "http/ConnectionRegistry.h"
#include "http/HttpServer.h"
#include "http/ProxyTarget.h"
#include "http/RequestData.h"
#include "http/RequestHead.h"
#include "http/Routing.h"
#include "packages/Package.h"
#include "packages/PackageController.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "util/UniqueFd.h"

#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <unordered_map>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// What one look at a connection's receive queue shows: a longer head is the library's.
constexpr size_t maxPeekedHeadBytes = 8 * 1024;
// What one read of a request body takes.
constexpr size_t bodyReadBytes = 64 * 1024;
// The epoll tags of the loop's own descriptors; a client connection is tagged with its
// address, a libcurl socket with this bit and its number.
constexpr uint64_t listenTag = 0;
constexpr uint64_t wakeTag = 1;
constexpr uint64_t curlSocketTag = uint64_t{1} << 63;
// Timeouts are checked this often.
constexpr std::chrono::milliseconds sweepInterval(1000);
constexpr int maxEventsPerWait = 64;
// Connections taken from the listening socket per wake-up, so that one loop does not take
// a whole burst while the other sleeps.
constexpr int acceptsPerWake = 8;

struct MultiDeleter {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};

bool isPackageProxy(const Routing::Route* route, bool& isPublic)
{
  if (route == nullptr) {
    return false;
  }
  isPublic = std::strcmp(route->pattern, "/proxy_public/") == 0;
  return isPublic || std::strcmp(route->pattern, "/proxy/") == 0;
}

bool wouldBlock()
{
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

} // namespace

class ProxyFrontEnd::Loop {
public:
  Loop(ProxyFrontEnd& owner, int listenSocket) : owner(owner), listenSocket(listenSocket) {}
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;
  ~Loop() { stop(); }

  bool start();
  void stop();

private:
  struct Connection;

  // One upstream transfer, from the request to the last byte of the answer.
  struct Transfer {
    Transfer(Loop& loop, Connection& client) : loop(loop), client(client) {}
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() { detach(); }
    void detach()
    {
      if (request && added) {
        curl_multi_remove_handle(loop.multi.get(), request->handle());
      }
      added = false;
    }

    Loop& loop;
    Connection& client;
    // Held for the whole transfer, so that the package cannot be freed while it is proxied to.
    std::shared_ptr<Package> package;
    int port = Package::noPort;
    std::string path;
    ProxyTarget::Upstream upstream;
    std::unique_ptr<HttpManager::Request> request;
    bool added = false;
    // The answer's head is sent and its body goes to the client as it arrives.
    bool streaming = false;
    bool chunked = false;
    // libcurl keeps back a piece until the client has taken what is held.
    bool paused = false;
    // Before streaming, when the upstream must have begun its body; while streaming, when it
    // must have sent more to a client that waits.
    Clock::time_point deadline;
  };

  struct Connection {
    UniqueFd fd;
    sockaddr_storage address{};
    socklen_t addressLength = 0;
    enum class Stage { Head, Body, Answering, Closed };
    Stage stage = Stage::Head;
    RequestData request;
    size_t bodyLeft = 0;
    bool closeAfterAnswer = false;
    bool answeredOne = false;
    std::string output;
    size_t sent = 0;
    // The rest of the answer is in `output`: once it is sent, the next request may come.
    bool answerWritten = false;
    // Already in the loop's list of connections to flush.
    bool touched = false;
    Clock::time_point lastActivity = Clock::now();
    std::unique_ptr<Transfer> transfer;

    size_t pending() const { return output.size() - sent; }
  };

  void run();
  void acceptConnections();
  void onClientEvent(Connection& client, uint32_t events);
  void readRequest(Connection& client);
  void readBody(Connection& client);
  void startTransfer(Connection& client);
  void onTransferDone(Connection& client, CURLcode result);
  void beginStreaming(Transfer& transfer);
  void appendBody(Connection& client, const char* data, size_t size);
  void answer(Connection& client, AnswerHead head, const std::string& body);
  void answerNoAnswer(Connection& client, CURLcode code);
  void flush(Connection& client);
  void answerSent(Connection& client);
  void handOff(Connection& client);
  void close(Connection& client);
  void touch(Connection& client);
  void flushTouched();
  void collectDone();
  void sweep();
  void driveCurl(curl_socket_t socket, int actions);

  static int onSocket(CURL* handle, curl_socket_t socket, int what, void* self, void* socketData);
  static int onTimer(CURLM* multi, long milliseconds, void* self);
  static size_t onBody(char* data, size_t size, size_t count, void* self);

  ProxyFrontEnd& owner;
  const int listenSocket;
  UniqueFd epoll;
  UniqueFd wake;
  std::unique_ptr<CURLM, MultiDeleter> multi;
  bool curlTimerSet = false;
  Clock::time_point curlDeadline;
  std::unordered_map<const Connection*, std::unique_ptr<Connection>> connections;
  // Connections whose output grew inside libcurl's callbacks, flushed once they returned.
  std::vector<Connection*> touched;
  // Closed during the events at hand, freed after them: a later event may still name one.
  std::vector<std::unique_ptr<Connection>> closed;
  std::atomic<bool> stopping{false};
  std::thread thread;
};

bool ProxyFrontEnd::Loop::start()
{
  epoll.reset(epoll_create1(EPOLL_CLOEXEC));
  wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  multi.reset(curl_multi_init());
  if (!epoll || !wake || !multi) {
    return false;
  }
  curl_multi_setopt(multi.get(), CURLMOPT_SOCKETFUNCTION, onSocket);
  curl_multi_setopt(multi.get(), CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi.get(), CURLMOPT_TIMERFUNCTION, onTimer);
  curl_multi_setopt(multi.get(), CURLMOPT_TIMERDATA, this);
  epoll_event event{};
  // Exclusive: a new connection wakes one loop, not all of them.
  event.events = EPOLLIN | EPOLLEXCLUSIVE;
  event.data.u64 = listenTag;
  if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, listenSocket, &event) != 0) {
    return false;
  }
  event.events = EPOLLIN;
  event.data.u64 = wakeTag;
  if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &event) != 0) {
    return false;
  }
  thread = std::thread([this]() { run(); });
  return true;
}

void ProxyFrontEnd::Loop::stop()
{
  if (!thread.joinable()) {
    return;
  }
  stopping = true;
  const uint64_t one = 1;
  if (write(wake.get(), &one, sizeof one) < 0) {
    Logger::log(std::string("HttpServer: cannot wake the proxy loop: ") + std::strerror(errno),
                LogLevel::Error);
  }
  thread.join();
}

void ProxyFrontEnd::Loop::run()
{
  epoll_event events[maxEventsPerWait];
  Clock::time_point lastSweep = Clock::now();
  while (!stopping) {
    auto wait = sweepInterval;
    if (curlTimerSet) {
      wait = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(curlDeadline - Clock::now()),
                        std::chrono::milliseconds(0), sweepInterval);
    }
    const int count = epoll_wait(epoll.get(), events, maxEventsPerWait, static_cast<int>(wait.count()));
    for (int i = 0; i < count; ++i) {
      const uint64_t tag = events[i].data.u64;
      const uint32_t flags = events[i].events;
      if (tag == listenTag) {
        acceptConnections();
      } else if (tag == wakeTag) {
        uint64_t value = 0;
        if (read(wake.get(), &value, sizeof value) < 0) {
          continue; // only the stop flag matters
        }
      } else if ((tag & curlSocketTag) != 0) {
        driveCurl(static_cast<curl_socket_t>(tag & ~curlSocketTag),
                  ((flags & EPOLLIN) != 0 ? CURL_CSELECT_IN : 0) |
                      ((flags & EPOLLOUT) != 0 ? CURL_CSELECT_OUT : 0) |
                      ((flags & (EPOLLERR | EPOLLHUP)) != 0 ? CURL_CSELECT_ERR : 0));
      } else {
        onClientEvent(*static_cast<Connection*>(events[i].data.ptr), flags);
      }
    }
    if (curlTimerSet && Clock::now() >= curlDeadline) {
      curlTimerSet = false;
      driveCurl(CURL_SOCKET_TIMEOUT, 0);
    }
    collectDone();
    flushTouched();
    if (Clock::now() - lastSweep >= sweepInterval) {
      lastSweep = Clock::now();
      sweep();
      collectDone();
      flushTouched();
    }
    closed.clear();
  }
  std::vector<Connection*> open;
  for (const auto& entry : connections) {
    open.push_back(entry.second.get());
  }
  for (Connection* client : open) {
    close(*client);
  }
  closed.clear();
}

void ProxyFrontEnd::Loop::acceptConnections()
{
  for (int i = 0; i < acceptsPerWake; ++i) {
    auto client = std::make_unique<Connection>();
    client->addressLength = sizeof client->address;
    client->fd.reset(accept4(listenSocket, reinterpret_cast<sockaddr*>(&client->address),
                             &client->addressLength, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client->fd) {
      if (!wouldBlock() && errno != ECONNABORTED) {
        Logger::log(std::string("HttpServer: cannot accept a connection: ") + std::strerror(errno),
                    LogLevel::Warning);
      }
      return;
    }
    if (!owner.connections.admit()) {
      continue;
    }
    const int noDelay = 1;
    setsockopt(client->fd.get(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    epoll_event event{};
    // Edge-triggered: a head that is only peeked at stays in the queue, and must not wake the
    // loop again until more arrives.
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.ptr = client.get();
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, client->fd.get(), &event) != 0) {
      continue;
    }
    owner.connections.opened(client.get(), client->fd.get());
    const Connection* key = client.get();
    connections.emplace(key, std::move(client));
  }
}

void ProxyFrontEnd::Loop::onClientEvent(Connection& client, uint32_t events)
{
  if (client.stage == Connection::Stage::Closed) {
    return;
  }
  if ((events & EPOLLERR) != 0) {
    close(client);
    return;
  }
  if ((events & EPOLLOUT) != 0 && client.pending() > 0) {
    flush(client);
  }
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) == 0) {
    return;
  }
  switch (client.stage) {
  case Connection::Stage::Head:
    readRequest(client);
    break;
  case Connection::Stage::Body:
    readBody(client);
    break;
  case Connection::Stage::Answering:
    // Pipelined requests wait in the queue; a client that hung up gets no answer.
    if ((events & (EPOLLRDHUP | EPOLLHUP)) != 0) {
      close(client);
    }
    break;
  case Connection::Stage::Closed:
    break;
  }
}

void ProxyFrontEnd::Loop::readRequest(Connection& client)
{
  char peeked[maxPeekedHeadBytes];
  const ssize_t size = recv(client.fd.get(), peeked, sizeof peeked, MSG_PEEK);
  if (size <= 0) {
    if (size == 0 || !wouldBlock()) {
      close(client);
    }
    return;
  }
  client.lastActivity = Clock::now();
  RequestHead head;
  const RequestHead::Kind kind =
      RequestHead::parse(std::string_view(peeked, static_cast<size_t>(size)), head);
  if (kind == RequestHead::Kind::Incomplete) {
    if (static_cast<size_t>(size) == sizeof peeked) {
      handOff(client);
    }
    return;
  }
  bool isPublic = false;
  if (kind != RequestHead::Kind::Plain || !isPackageProxy(Routing::findRoute(head.path), isPublic)) {
    handOff(client);
    return;
  }
  // Every answer but the upstream's own is the library's: a request this loop takes is one
  // it can forward.
  const ProxyTarget::PackageRoute route = ProxyTarget::packageRoute(head.path);
  std::shared_ptr<Package> package = route.valid ? owner.packages->getPackage(route.packageName) : nullptr;
  const int port = package ? package->getPort(isPublic) : Package::noPort;
  if (port == Package::noPort) {
    handOff(client);
    return;
  }
  // The head, and as much of the body as was peeked at, are this request's bytes.
  const size_t taken = std::min(static_cast<size_t>(size), head.length + head.contentLength);
  if (recv(client.fd.get(), peeked, taken, 0) != static_cast<ssize_t>(taken)) {
    close(client);
    return;
  }
  owner.connections.requestStarted(&client);
  client.request = RequestData();
  client.request.method = std::move(head.method);
  client.request.url = std::move(head.path);
  client.request.arguments = std::move(head.arguments);
  client.request.headers = std::move(head.headers);
  client.request.body.assign(peeked + head.length, taken - head.length);
  client.bodyLeft = head.contentLength - client.request.body.size();
  client.closeAfterAnswer = head.close;
  client.transfer = std::make_unique<Transfer>(*this, client);
  client.transfer->package = std::move(package);
  client.transfer->port = port;
  client.transfer->path = route.path;
  client.transfer->upstream = {"package " + route.packageName, route.packageName};
  client.stage = Connection::Stage::Body;
  readBody(client);
}

void ProxyFrontEnd::Loop::readBody(Connection& client)
{
  while (client.bodyLeft > 0) {
    char buffer[bodyReadBytes];
    const ssize_t size = recv(client.fd.get(), buffer, std::min(sizeof buffer, client.bodyLeft), 0);
    if (size <= 0) {
      if (size == 0 || !wouldBlock()) {
        close(client);
      }
      return;
    }
    client.lastActivity = Clock::now();
    client.request.body.append(buffer, static_cast<size_t>(size));
    client.bodyLeft -= static_cast<size_t>(size);
  }
  startTransfer(client);
}

void ProxyFrontEnd::Loop::startTransfer(Connection& client)
{
  client.stage = Connection::Stage::Answering;
  RequestData& request = client.request;
  if (!request.body.empty() && request.header("Content-Type") == "application/x-www-form-urlencoded") {
    for (auto& field : parseFormBody(request.body)) {
      request.arguments[field.first] = std::move(field.second);
    }
  }
  Transfer& transfer = *client.transfer;
  const std::string url = ProxyTarget::packageUpstreamUrl(transfer.port, transfer.path,
                                                          ProxyTarget::upstreamQuery(request.arguments));
  transfer.request = request.method == "GET"
                         ? HttpManager::prepareGet(url, "", 0)
                         : HttpManager::preparePost(url, request.body, request.header("Content-Type"), "", 0);
  if (!transfer.request) {
    answerNoAnswer(client, CURLE_FAILED_INIT);
    return;
  }
  CURL* handle = transfer.request->handle();
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_PRIVATE, &client);
  transfer.deadline = Clock::now() + std::chrono::seconds(ProxyTarget::upstreamTimeoutSeconds);
  transfer.added = curl_multi_add_handle(multi.get(), handle) == CURLM_OK;
  if (!transfer.added) {
    answerNoAnswer(client, CURLE_OUT_OF_MEMORY);
  }
}

size_t ProxyFrontEnd::Loop::onBody(char* data, size_t size, size_t count, void* self)
{
  auto& transfer = *static_cast<Transfer*>(self);
  const size_t length = size * count;
  try {
    if (!transfer.streaming) {
      // The body is held until it outgrows what the ETag cache may store of one answer; an
      // answer that ends before is given whole, cached and replayed as any other.
      std::string& body = transfer.request->response().body;
      if (body.size() + length <= Limits::maxEtagEntryBytes) {
        body.append(data, length);
        return length;
      }
      transfer.loop.beginStreaming(transfer);
    }
    Connection& client = transfer.client;
    if (client.pending() > Limits::maxProxyHeldBytes) {
      transfer.paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    transfer.loop.appendBody(client, data, length);
    transfer.deadline = Clock::now() + std::chrono::seconds(ProxyTarget::upstreamTimeoutSeconds);
    return length;
  } catch (...) {
    return 0;
  }
}

void ProxyFrontEnd::Loop::beginStreaming(Transfer& transfer)
{
  Connection& client = transfer.client;
  CURL* handle = transfer.request->handle();
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  // No Accept-Encoding is ever sent, so the body comes on in the encoding it came in, and the
  // upstream's length (unknown when it came chunked) is the client's.
  curl_off_t length = -1;
  curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  AnswerHead head;
  head.status = ProxyTarget::clientStatus(static_cast<int32_t>(status));
  std::string body = std::move(transfer.request->response().body);
  ProxyTarget::logFailureAnswer(transfer.upstream, client.request, head.status, body);
  head.headerLines = ProxyTarget::unfoldHeaderLines(transfer.request->response().headers);
  head.framing = length >= 0 ? AnswerHead::Framing::Length : AnswerHead::Framing::Chunked;
  head.contentLength = length >= 0 ? static_cast<uint64_t>(length) : 0;
  head.close = client.closeAfterAnswer;
  client.output += head.text();
  client.closeAfterAnswer = head.close;
  transfer.streaming = true;
  transfer.chunked = head.framing == AnswerHead::Framing::Chunked;
  appendBody(client, body.data(), body.size());
}

void ProxyFrontEnd::Loop::appendBody(Connection& client, const char* data, size_t size)
{
  if (size == 0) {
    return;
  }
  if (client.transfer->chunked) {
    char sizeLine[32];
    client.output.append(sizeLine,
                         static_cast<size_t>(std::snprintf(sizeLine, sizeof sizeLine, "%zX\r\n", size)));
    client.output.append(data, size);
    client.output += "\r\n";
  } else {
    client.output.append(data, size);
  }
  touch(client);
}

void ProxyFrontEnd::Loop::collectDone()
{
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
    if (message->msg != CURLMSG_DONE) {
      continue;
    }
    Connection* client = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &client);
    const CURLcode result = message->data.result;
    if (client != nullptr && client->transfer) {
      onTransferDone(*client, result);
    }
  }
}

void ProxyFrontEnd::Loop::onTransferDone(Connection& client, CURLcode result)
{
  std::unique_ptr<Transfer> transfer = std::move(client.transfer);
  transfer->detach();
  if (transfer->streaming) {
    if (result == CURLE_OK) {
      if (transfer->chunked) {
        client.output += "0\r\n\r\n";
      }
    } else {
      if (result != CURLE_OPERATION_TIMEDOUT) {
        Logger::log("Curl error: " + std::to_string(result) + " - " + curl_easy_strerror(result) +
                        ", the answer was cut short",
                    LogLevel::Warning);
      }
      // What arrived still goes out; the client learns of the cut from the closed connection.
      client.closeAfterAnswer = true;
    }
    client.answerWritten = true;
    flush(client);
    return;
  }
  const std::unique_ptr<HttpManager::Response> response =
      HttpManager::finish(std::move(transfer->request), result);
  if (response->curlCode != CURLE_OK) {
    client.transfer = std::move(transfer); // names the upstream in the answer
    answerNoAnswer(client, static_cast<CURLcode>(response->curlCode));
    return;
  }
  AnswerHead head;
  head.status = ProxyTarget::clientStatus(response->statusCode);
  ProxyTarget::logFailureAnswer(transfer->upstream, client.request, head.status, response->body);
  head.headerLines = ProxyTarget::unfoldHeaderLines(response->headers);
  answer(client, std::move(head), response->body);
}

void ProxyFrontEnd::Loop::answer(Connection& client, AnswerHead head, const std::string& body)
{
  client.transfer.reset();
  head.contentLength = body.size();
  head.close = head.close || client.closeAfterAnswer;
  client.output += head.text();
  client.closeAfterAnswer = head.close;
  if (AnswerHead::hasBody(head.status)) {
    client.output += body;
  }
  client.answerWritten = true;
  flush(client);
}

// A transfer that brought no answer is reported by this server, never passed off as an empty
// answer of the upstream's.
void ProxyFrontEnd::Loop::answerNoAnswer(Connection& client, CURLcode code)
{
  const std::string message = ProxyTarget::noAnswerMessage(client.transfer->upstream);
  Logger::log(message, LogLevel::Error);
  AnswerHead head;
  head.status = 500;
  head.headers.emplace_back("Content-Type", "application/json");
  answer(client, std::move(head), HttpServer::jsonStatusBody(500, message, curl_easy_strerror(code)));
}

void ProxyFrontEnd::Loop::touch(Connection& client)
{
  if (!client.touched) {
    client.touched = true;
    touched.push_back(&client);
  }
}

void ProxyFrontEnd::Loop::flushTouched()
{
  // Flushing may resume a paused transfer, whose callback touches connections again.
  for (size_t i = 0; i < touched.size(); ++i) {
    Connection& client = *touched[i];
    client.touched = false;
    if (client.stage != Connection::Stage::Closed) {
      flush(client);
    }
  }
  touched.clear();
}

void ProxyFrontEnd::Loop::flush(Connection& client)
{
  while (client.pending() > 0) {
    const ssize_t size =
        send(client.fd.get(), client.output.data() + client.sent, client.pending(), MSG_NOSIGNAL);
    if (size < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (!wouldBlock()) {
        close(client);
      }
      return; // the next EPOLLOUT edge comes back here
    }
    client.sent += static_cast<size_t>(size);
    client.lastActivity = Clock::now();
  }
  client.output.clear();
  client.sent = 0;
  if (client.output.capacity() > 2 * Limits::maxEtagEntryBytes) {
    client.output.shrink_to_fit();
  }
  Transfer* transfer = client.transfer.get();
  if (transfer != nullptr && transfer->paused) {
    transfer->paused = false;
    transfer->deadline = Clock::now() + std::chrono::seconds(ProxyTarget::upstreamTimeoutSeconds);
    // libcurl hands over the piece it kept back from inside this call; it is flushed with the
    // other touched connections.
    curl_easy_pause(transfer->request->handle(), CURLPAUSE_CONT);
    return;
  }
  if (client.answerWritten) {
    answerSent(client);
  }
}

void ProxyFrontEnd::Loop::answerSent(Connection& client)
{
  client.answerWritten = false;
  client.answeredOne = true;
  owner.connections.requestEnded(&client);
  if (client.closeAfterAnswer) {
    close(client);
    return;
  }
  client.stage = Connection::Stage::Head;
  client.request = RequestData();
  // A pipelined request may be waiting already: no edge would announce it again.
  readRequest(client);
}

void ProxyFrontEnd::Loop::handOff(Connection& client)
{
  epoll_ctl(epoll.get(), EPOLL_CTL_DEL, client.fd.get(), nullptr);
  owner.connections.closed(&client);
  client.stage = Connection::Stage::Closed;
  auto entry = connections.find(&client);
  closed.push_back(std::move(entry->second));
  connections.erase(entry);
  owner.handOff(client.fd.release(), reinterpret_cast<const sockaddr*>(&client.address),
                client.addressLength);
}

void ProxyFrontEnd::Loop::close(Connection& client)
{
  if (client.stage == Connection::Stage::Closed) {
    return;
  }
  client.transfer.reset();
  owner.connections.closed(&client);
  client.fd.reset();
  client.stage = Connection::Stage::Closed;
  auto entry = connections.find(&client);
  closed.push_back(std::move(entry->second));
  connections.erase(entry);
}

void ProxyFrontEnd::Loop::sweep()
{
  const Clock::time_point now = Clock::now();
  std::vector<Connection*> expired;
  std::vector<Connection*> late;
  for (const auto& entry : connections) {
    Connection& client = *entry.second;
    const auto quiet = now - client.lastActivity;
    const bool waitsForClient = client.stage != Connection::Stage::Answering || client.pending() > 0;
    const unsigned limit = client.stage == Connection::Stage::Head && !client.answeredOne
                               ? Limits::httpRequestHeadTimeoutSeconds
                               : Limits::httpIdleTimeoutSeconds;
    if (waitsForClient && quiet >= std::chrono::seconds(limit)) {
      expired.push_back(&client);
    } else if (client.transfer && client.transfer->added && client.pending() == 0 &&
               now >= client.transfer->deadline) {
      late.push_back(&client);
    }
  }
  for (Connection* client : expired) {
    // A head only peeked at is still queued, and closing over unread bytes would reset the
    // connection instead of ending it: the client is told of the timeout by a plain close.
    char discarded[maxPeekedHeadBytes];
    for (int i = 0; i < 16 && client->stage == Connection::Stage::Head &&
                    recv(client->fd.get(), discarded, sizeof discarded, 0) > 0;
         ++i) {
    }
    close(*client);
  }
  for (Connection* client : late) {
    Transfer& transfer = *client->transfer;
    if (transfer.streaming) {
      // The upstream gets the whole time limit again for every piece the client waits for.
      Logger::log("Curl error: " + std::to_string(CURLE_OPERATION_TIMEDOUT) +
                      " - the upstream stopped sending, the answer was cut short",
                  LogLevel::Warning);
      close(*client);
    } else if (transfer.request->response().body.empty()) {
      onTransferDone(*client, CURLE_OPERATION_TIMEDOUT);
    } else {
      // A body arriving slowly is handed on as it comes.
      beginStreaming(transfer);
    }
  }
}

void ProxyFrontEnd::Loop::driveCurl(curl_socket_t socket, int actions)
{
  int running = 0;
  const CURLMcode code = curl_multi_socket_action(multi.get(), socket, actions, &running);
  if (code != CURLM_OK) {
    Logger::log(std::string("Curl multi error: ") + curl_multi_strerror(code), LogLevel::Warning);
  }
}

int ProxyFrontEnd::Loop::onSocket(CURL*, curl_socket_t socket, int what, void* self, void* socketData)
{
  auto& loop = *static_cast<Loop*>(self);
  if (what == CURL_POLL_REMOVE) {
    epoll_ctl(loop.epoll.get(), EPOLL_CTL_DEL, socket, nullptr);
    return 0;
  }
  epoll_event event{};
  event.events = ((what & CURL_POLL_IN) != 0 ? EPOLLIN : 0U) | ((what & CURL_POLL_OUT) != 0 ? EPOLLOUT : 0U);
  event.data.u64 = curlSocketTag | static_cast<uint64_t>(socket);
  // libcurl keeps a mark per socket for us: set once the socket is in the epoll set.
  if (socketData != nullptr && epoll_ctl(loop.epoll.get(), EPOLL_CTL_MOD, socket, &event) == 0) {
    return 0;
  }
  if (epoll_ctl(loop.epoll.get(), EPOLL_CTL_ADD, socket, &event) == 0 ||
      (errno == EEXIST && epoll_ctl(loop.epoll.get(), EPOLL_CTL_MOD, socket, &event) == 0)) {
    curl_multi_assign(loop.multi.get(), socket, &loop);
  }
  return 0;
}

int ProxyFrontEnd::Loop::onTimer(CURLM*, long milliseconds, void* self)
{
  auto& loop = *static_cast<Loop*>(self);
  loop.curlTimerSet = milliseconds >= 0;
  loop.curlDeadline = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0L));
  return 0;
}

ProxyFrontEnd::ProxyFrontEnd(std::shared_ptr<PackageController> packages, ConnectionRegistry& connections,
                             HandOff handOff)
    : packages(std::move(packages)), connections(connections), handOff(std::move(handOff))
{
}

ProxyFrontEnd::~ProxyFrontEnd()
{
  stop();
}

bool ProxyFrontEnd::start(int listenSocket, unsigned count)
{
  for (unsigned i = 0; i < count; ++i) {
    loops.push_back(std::make_unique<Loop>(*this, listenSocket));
    if (!loops.back()->start()) {
      stop();
      return false;
    }
  }
  return true;
}

void ProxyFrontEnd::stop()
{
  loops.clear();
}
