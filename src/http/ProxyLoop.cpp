#include "http/ProxyLoop.h"

#include "http/AnswerHead.h"
#include "http/ConnectionRegistry.h"
#include "http/HttpServer.h"
#include "http/HttpWriter.h"
#include "http/RequestHead.h"
#include "http/Routing.h"
#include "http/UploadDirectory.h"
#include "packages/Package.h"
#include "packages/PackageController.h"
#include "util/Limits.h"
#include "util/Logger.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

// The loop and its client connections: heads peeked at, requests taken or handed on,
// answers written, timeouts.

namespace {

// What one look at a connection's receive queue shows: a longer head is the library's.
constexpr size_t maxPeekedHeadBytes = 8 * 1024;
// What one read of a request body takes.
constexpr size_t bodyReadBytes = 64 * 1024;
// The epoll tags of the loop's own descriptors; a connection is tagged with its address, a
// libcurl socket by ProxyLoop::curlSocketTag.
constexpr uint64_t listenTag = 0;
constexpr uint64_t wakeTag = 1;
// Timeouts are checked this often.
constexpr std::chrono::milliseconds sweepInterval(1000);
constexpr int maxEventsPerWait = 64;
// Connections taken from the listening socket per wake-up, so that one loop does not take a
// whole burst while the other sleeps.
constexpr int acceptsPerWake = 8;

} // namespace

bool ProxyLoop::wouldBlock()
{
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

ProxyLoop::Clock::time_point ProxyLoop::upstreamDeadline()
{
  return Clock::now() + std::chrono::seconds(ProxyTarget::upstreamTimeoutSeconds);
}

void ProxyLoop::writeHead(Connection& client, AnswerHead& head)
{
  head.close = head.close || client.closeAfterAnswer;
  client.output += head.text();
  client.closeAfterAnswer = head.close;
}

ProxyLoop::ProxyLoop(ProxyFrontEnd& owner, int listenSocket) : owner(owner), listenSocket(listenSocket) {}

ProxyLoop::~ProxyLoop()
{
  stop();
}

bool ProxyLoop::start()
{
  epoll.reset(epoll_create1(EPOLL_CLOEXEC));
  wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  multi.reset(curl_multi_init());
  if (!epoll || !wake || !multi) {
    return false;
  }
  curl_multi_setopt(multi.get(), CURLMOPT_SOCKETFUNCTION, onCurlSocket);
  curl_multi_setopt(multi.get(), CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi.get(), CURLMOPT_TIMERFUNCTION, onCurlTimer);
  curl_multi_setopt(multi.get(), CURLMOPT_TIMERDATA, this);
  if (!listen()) {
    return false;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = wakeTag;
  if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &event) != 0) {
    return false;
  }
  thread = std::thread([this]() { run(); });
  return true;
}

bool ProxyLoop::listen()
{
  epoll_event event{};
  // Exclusive: a new connection wakes one loop, not all of them.
  event.events = EPOLLIN | EPOLLEXCLUSIVE;
  event.data.u64 = listenTag;
  return epoll_ctl(epoll.get(), EPOLL_CTL_ADD, listenSocket, &event) == 0;
}

void ProxyLoop::stop()
{
  if (!thread.joinable()) {
    return;
  }
  stopping = true;
  const uint64_t one = 1;
  if (write(wake.get(), &one, sizeof one) < 0) {
    Logger::log(std::string("HttpServer: cannot wake a proxy loop: ") + std::strerror(errno),
                LogLevel::Error);
  }
  thread.join();
}

void ProxyLoop::run()
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
        dispatch(events[i].data.ptr, flags);
      }
    }
    if (curlTimerSet && Clock::now() >= curlDeadline) {
      curlTimerSet = false;
      driveCurl(CURL_SOCKET_TIMEOUT, 0);
    }
    collectCurlDone();
    flushTouched();
    if (Clock::now() - lastSweep >= sweepInterval) {
      lastSweep = Clock::now();
      sweep();
      collectCurlDone();
      flushTouched();
    }
    closed.clear();
    closedLinks.clear();
  }
  std::vector<Connection*> open;
  for (const auto& entry : connections) {
    open.push_back(entry.second.get());
  }
  for (Connection* client : open) {
    close(*client);
  }
  std::vector<UpstreamLink*> idle;
  for (const auto& entry : links) {
    idle.push_back(entry.second.get());
  }
  for (UpstreamLink* link : idle) {
    closeLink(*link);
  }
  closed.clear();
  closedLinks.clear();
}

void ProxyLoop::dispatch(void* watched, uint32_t events)
{
  Connection* client = nullptr;
  UpstreamLink* link = nullptr;
  if (static_cast<Watched*>(watched)->kind == Watched::Kind::Client) {
    client = static_cast<Connection*>(watched);
  } else {
    link = static_cast<UpstreamLink*>(watched);
    client = link->client;
  }
  contained(client, link, [&] {
    if (link != nullptr) {
      onUpstreamEvent(*link, events);
    } else {
      onClientEvent(*client, events);
    }
  });
}

void ProxyLoop::dropAfterFault(Connection* client, UpstreamLink* link, const char* error)
{
  Logger::log(std::string("HttpServer: proxy connection closed after an internal error: ") + error,
              LogLevel::Error);
  // Closing the client ends its transfer, and the transfer its upstream connection.
  if (client != nullptr) {
    close(*client);
  } else if (link != nullptr) {
    closeLink(*link);
  }
}

void ProxyLoop::acceptConnections()
{
  for (int i = 0; i < acceptsPerWake; ++i) {
    auto client = std::make_unique<Connection>();
    client->addressLength = sizeof client->address;
    client->fd.reset(accept4(listenSocket, reinterpret_cast<sockaddr*>(&client->address),
                             &client->addressLength, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client->fd) {
      if (errno == EMFILE || errno == ENFILE) {
        // The connection stays queued; without a pause the loop would spin on it. The sweep
        // listens again.
        epoll_ctl(epoll.get(), EPOLL_CTL_DEL, listenSocket, nullptr);
        if (!listenPaused) {
          Logger::log(std::string("HttpServer: cannot accept a connection: ") + std::strerror(errno),
                      LogLevel::Warning);
        }
        listenPaused = true;
      } else if (!wouldBlock() && errno != ECONNABORTED) {
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
    event.data.ptr = static_cast<Watched*>(client.get());
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, client->fd.get(), &event) != 0) {
      continue;
    }
    owner.connections.opened(client.get(), client->fd.get());
    const Connection* key = client.get();
    connections.emplace(key, std::move(client));
  }
}

void ProxyLoop::onClientEvent(Connection& client, uint32_t events)
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
  // Told once: the end of the client's stream may come with the request it ends.
  client.peerClosed = client.peerClosed || (events & EPOLLRDHUP) != 0;
  switch (client.stage) {
  case Connection::Stage::Head:
    readRequest(client);
    break;
  case Connection::Stage::Body:
    readBody(client);
    break;
  case Connection::Stage::Answering:
    // Pipelined requests wait in the queue. A client that only shut its sending side down
    // still gets its answer, and the connection ends after it; a send fails if it is gone.
    if ((events & EPOLLHUP) != 0) {
      close(client);
      break;
    }
    client.closeAfterAnswer = client.closeAfterAnswer || client.peerClosed;
    client.inputPending = true;
    break;
  case Connection::Stage::Closed:
    break;
  }
}

void ProxyLoop::readRequest(Connection& client)
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
  if (!client.headBegun) {
    client.headBegun = true;
    client.headSince = client.lastActivity;
  }
  RequestHead head;
  const RequestHead::Kind kind =
      RequestHead::parse(std::string_view(peeked, static_cast<size_t>(size)), head);
  if (kind == RequestHead::Kind::Incomplete) {
    if (static_cast<size_t>(size) == sizeof peeked) {
      handOff(client);
    }
    return;
  }
  const Routing::Route* found = kind == RequestHead::Kind::Plain ? Routing::findRoute(head.path) : nullptr;
  if (found == nullptr || found->proxy == Routing::ProxyPort::None) {
    const std::string_view start(peeked, static_cast<size_t>(size));
    handOff(client, isUploadUrl(std::string(start.substr(0, start.find('\n')))));
    return;
  }
  // Every answer but the upstream's own is the library's: a request this loop takes is one
  // it can forward.
  const bool isPublic = found->proxy == Routing::ProxyPort::Public;
  const ProxyTarget::PackageTarget route = ProxyTarget::packageTarget(head.target, isPublic);
  std::shared_ptr<Package> package = route.valid ? owner.packages->getPackage(route.packageName) : nullptr;
  const int port = package ? package->getPort(isPublic) : Package::noPort;
  if (port == Package::noPort) {
    handOff(client);
    return;
  }
  // The head, and as much of a Content-Length body as was peeked at, are this request's bytes;
  // a chunked body is read on by peeking, so that no byte of a next request is taken.
  const size_t taken =
      head.chunked ? head.length : std::min(static_cast<size_t>(size), head.length + head.contentLength);
  if (recv(client.fd.get(), peeked, taken, 0) != static_cast<ssize_t>(taken)) {
    close(client);
    return;
  }
  owner.connections.requestStarted(&client);
  client.request = RequestData();
  client.request.method = std::move(head.method);
  client.request.url = std::move(head.path);
  client.request.headers = std::move(head.headers);
  client.request.body.assign(peeked + head.length, taken - head.length);
  client.bodyLeft = head.chunked ? 0 : head.contentLength - client.request.body.size();
  client.chunkedBody = head.chunked;
  client.chunks = ChunkedDecoder();
  client.http10 = head.http10;
  client.closeAfterAnswer = head.close || client.peerClosed;
  // More than was peeked at may be queued, and a body read in pieces may end in the same
  // segment as the next request begins: the edges that told of it are spent.
  client.inputPending = static_cast<size_t>(size) > taken || static_cast<size_t>(size) == sizeof peeked ||
                        head.chunked || head.contentLength > taken - head.length;
  client.transfer = std::make_unique<Transfer>(*this, client);
  client.transfer->package = std::move(package);
  client.transfer->port = port;
  client.transfer->target = std::move(route.target);
  client.transfer->fields = std::move(head.fields);
  client.transfer->connectionTokens = std::move(head.connectionTokens);
  client.transfer->upstream = {"package " + route.packageName, route.packageName};
  client.stage = Connection::Stage::Body;
  client.arrival = ArrivalRate(client.lastActivity);
  client.receivingReported = false;
  if (head.expectContinue && (client.chunkedBody || client.bodyLeft > 0)) {
    HttpWriter::appendHead(client.output, "HTTP/1.1 100 Continue", {}, HttpWriter::Framing::None);
    flush(client);
    if (client.stage == Connection::Stage::Closed) {
      return;
    }
  }
  readBody(client);
}

bool ProxyLoop::bodyComplete(const Connection& client)
{
  return client.chunkedBody ? client.chunks.state() != ChunkedDecoder::State::Reading : client.bodyLeft == 0;
}

void ProxyLoop::readBody(Connection& client)
{
  while (!bodyComplete(client)) {
    char buffer[bodyReadBytes];
    const ssize_t size = recv(client.fd.get(), buffer,
                              client.chunkedBody ? sizeof buffer : std::min(sizeof buffer, client.bodyLeft),
                              client.chunkedBody ? MSG_PEEK : 0);
    if (size <= 0) {
      if (size == 0 || !wouldBlock()) {
        close(client);
      } else if (!client.receivingReported) {
        // A body that comes in one piece never makes it this far, and costs no report.
        client.receivingReported = true;
        owner.connections.receiving(&client, client.request.body.size());
      }
      return;
    }
    client.lastActivity = Clock::now();
    if (!client.chunkedBody) {
      client.request.body.append(buffer, static_cast<size_t>(size));
      client.bodyLeft -= static_cast<size_t>(size);
      continue;
    }
    const size_t used = client.chunks.read(buffer, static_cast<size_t>(size), client.request.body);
    if (recv(client.fd.get(), buffer, used, 0) != static_cast<ssize_t>(used)) {
      close(client);
      return;
    }
    if (client.chunks.state() == ChunkedDecoder::State::Failed) {
      refuseRequest(client, 400, "Http API: the request body's chunked framing is broken");
      return;
    }
    if (client.request.body.size() > Limits::maxRequestBodyBytes) {
      refuseRequest(client, 413,
                    "Http API: the request body is larger than " +
                        std::to_string(Limits::maxRequestBodyBytes) + " bytes");
      return;
    }
  }
  if (client.receivingReported) {
    owner.connections.received(&client);
  }
  client.stage = Connection::Stage::Answering;
  startTransfer(client);
}

void ProxyLoop::answer(Connection& client, AnswerHead& head, const std::string& body)
{
  client.transfer.reset();
  // A HEAD gets the head the GET would get: the package's own framing lines, or this
  // server's for its own answers.
  const bool toHead = client.request.method == "HEAD";
  head.toHead = toHead && !head.headerLines.empty();
  head.contentLength = body.size();
  writeHead(client, head);
  if (AnswerHead::hasBody(head.status) && !toHead) {
    client.output += body;
  }
  client.answerWritten = true;
  flush(client);
}

// A transfer that brought no answer is reported by this server, never passed off as an empty
// answer of the upstream's.
void ProxyLoop::answerNoAnswer(Connection& client, CURLcode code)
{
  const std::string message = ProxyTarget::noAnswerMessage(client.transfer->upstream);
  Logger::log(message, LogLevel::Error);
  AnswerHead head;
  head.status = 500;
  head.headers.emplace_back("Content-Type", "application/json");
  answer(client, head, HttpServer::jsonStatusBody(500, message, curl_easy_strerror(code)));
}

void ProxyLoop::refuseRequest(Connection& client, unsigned status, const std::string& message)
{
  Logger::log(message, LogLevel::Debug);
  // What arrived of the request is dropped: closing over unread bytes would reset the
  // connection before the client could read why.
  char discarded[maxPeekedHeadBytes];
  for (int i = 0; i < 16 && recv(client.fd.get(), discarded, sizeof discarded, 0) > 0; ++i) {
  }
  client.stage = Connection::Stage::Answering;
  client.closeAfterAnswer = true;
  AnswerHead head;
  head.status = status;
  head.headers.emplace_back("Content-Type", "application/json");
  answer(client, head, HttpServer::jsonStatusBody(status, message));
}

void ProxyLoop::touch(Connection& client)
{
  if (!client.touched) {
    client.touched = true;
    touched.push_back(&client);
  }
}

void ProxyLoop::flushTouched()
{
  // Flushing may resume a paused transfer, whose callback touches connections again.
  for (size_t i = 0; i < touched.size(); ++i) {
    Connection& client = *touched[i];
    client.touched = false;
    if (client.stage != Connection::Stage::Closed) {
      // A flush may read on: the next pipelined request, or a paused upstream.
      contained(&client, nullptr, [&] { flush(client); });
    }
  }
  touched.clear();
}

void ProxyLoop::flush(Connection& client)
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
  if (client.transfer) {
    if (client.transfer->streaming) {
      // The client waits from here: the upstream has the whole limit for its next piece.
      client.transfer->deadline = upstreamDeadline();
    }
    resumeReading(*client.transfer);
    return;
  }
  if (client.answerWritten) {
    answerSent(client);
  }
}

void ProxyLoop::answerSent(Connection& client)
{
  client.answerWritten = false;
  client.answeredOne = true;
  owner.connections.requestEnded(&client);
  if (client.closeAfterAnswer) {
    close(client);
    return;
  }
  client.stage = Connection::Stage::Head;
  client.headBegun = false;
  client.request = RequestData();
  if (client.inputPending) {
    // No edge would announce these bytes again.
    readRequest(client);
  }
}

void ProxyLoop::handOff(Connection& client, bool upload)
{
  epoll_ctl(epoll.get(), EPOLL_CTL_DEL, client.fd.get(), nullptr);
  owner.connections.closed(&client);
  client.stage = Connection::Stage::Closed;
  auto entry = connections.find(&client);
  closed.push_back(std::move(entry->second));
  connections.erase(entry);
  owner.handOff(client.fd.release(), reinterpret_cast<const sockaddr*>(&client.address), client.addressLength,
                upload);
}

void ProxyLoop::close(Connection& client)
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

void ProxyLoop::sweep()
{
  const Clock::time_point now = Clock::now();
  if (listenPaused && listen()) {
    listenPaused = false;
  }
  std::vector<Connection*> expired;
  std::vector<Connection*> late;
  std::vector<std::pair<Connection*, std::string>> tooSlow;
  for (const auto& entry : connections) {
    Connection& client = *entry.second;
    if (client.stage == Connection::Stage::Head && client.headBegun &&
        now - client.headSince >= std::chrono::seconds(Limits::httpRequestHeadDeadlineSeconds)) {
      tooSlow.emplace_back(&client, "Http API: the request head did not arrive within " +
                                        std::to_string(Limits::httpRequestHeadDeadlineSeconds) + " s");
      continue;
    }
    if (client.stage == Connection::Stage::Body) {
      const size_t received = client.request.body.size();
      if (!client.arrival.keepsUp(received, now)) {
        tooSlow.emplace_back(&client, "Http API: the request body arrives slower than " +
                                          std::to_string(Limits::minRequestBytesPerSecond) +
                                          " bytes per second");
        continue;
      }
      if (client.receivingReported) {
        owner.connections.receiving(&client, received);
      }
    }
    const bool waitsForClient = client.stage != Connection::Stage::Answering || client.pending() > 0;
    const unsigned limit = client.stage == Connection::Stage::Head && !client.answeredOne
                               ? Limits::httpRequestHeadTimeoutSeconds
                               : Limits::httpIdleTimeoutSeconds;
    if (waitsForClient && now - client.lastActivity >= std::chrono::seconds(limit)) {
      expired.push_back(&client);
    } else if (client.stage == Connection::Stage::Answering && client.transfer && client.pending() == 0 &&
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
    contained(client, nullptr, [&] { timeOut(*client); });
  }
  for (auto& slow : tooSlow) {
    contained(slow.first, nullptr, [&] { refuseRequest(*slow.first, 408, slow.second); });
  }
}
