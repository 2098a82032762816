#include "http/ProxyLoop.h"

#include "http/AnswerHead.h"
#include "http/ConnectionRegistry.h"
#include "http/HttpWriter.h"
#include "http/JsonStatus.h"
#include "http/RequestHead.h"
#include "http/Routing.h"
#include "http/UpstreamHeadLines.h"
#include "http/UploadDirectory.h"
#include "packages/Package.h"
#include "packages/PackageController.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "util/SystemUtils.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

// The loop and its client side: heads peeked at, requests taken or handed on, answers
// written, timeouts.

namespace {

// What one look at a connection's receive queue shows: a longer head is the library's.
constexpr size_t maxPeekedHeadBytes = 8 * 1024;
// The epoll tags of the loop's own descriptors; a connection is tagged with its address, a
// libcurl socket by RedirectFollower::socketTag.
constexpr uint64_t listenTag = 0;
constexpr uint64_t wakeTag = 1;
// Timeouts are checked this often.
constexpr std::chrono::milliseconds sweepInterval(1000);
constexpr int maxEventsPerWait = 64;
// Connections taken from the listening socket per wake-up, so that one loop does not take a
// whole burst while the other sleeps.
constexpr int acceptsPerWake = 8;

} // namespace

ProxyLoop::ProxyLoop(ProxyFrontEnd& owner, int listenSocket) : owner(owner), listenSocket(listenSocket) {}

ProxyLoop::~ProxyLoop()
{
  stop();
}

bool ProxyLoop::start()
{
  epoll.reset(epoll_create1(EPOLL_CLOEXEC));
  wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!epoll || !wake) {
    return false;
  }
  pool = std::make_unique<UpstreamPool>(epoll.get(), Limits::maxIdleUpstreamConnections);
  follower = std::make_unique<RedirectFollower>(epoll.get());
  if (!follower->start() || !listen()) {
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
    const auto wait = follower->wait(sweepInterval);
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
      } else if ((tag & RedirectFollower::socketTag) != 0) {
        follower->onSocketEvent(tag, flags);
      } else {
        dispatch(events[i].data.ptr, flags);
      }
    }
    follower->onTimer();
    collectCurlDone();
    flushTouched();
    if (Clock::now() - lastSweep >= sweepInterval) {
      lastSweep = Clock::now();
      sweep();
      collectCurlDone();
      flushTouched();
    }
    closed.clear();
    pool->freeClosed();
  }
  std::vector<ClientConnection*> open;
  for (const auto& entry : connections) {
    open.push_back(entry.second.get());
  }
  for (ClientConnection* client : open) {
    close(*client);
  }
  pool->closeAll();
  closed.clear();
  pool->freeClosed();
}

void ProxyLoop::dispatch(void* watched, uint32_t events)
{
  ClientConnection* client = nullptr;
  UpstreamConnection* link = nullptr;
  if (static_cast<ProxyEventSource*>(watched)->kind == ProxyEventSource::Kind::Client) {
    client = static_cast<ClientConnection*>(watched);
  } else {
    link = static_cast<UpstreamConnection*>(watched);
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

void ProxyLoop::onUpstreamEvent(UpstreamConnection& link, uint32_t events)
{
  if (link.closed) {
    return;
  }
  if (link.client == nullptr) {
    // Idle: the package closed the connection, or spoke out of turn.
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
      pool->close(link);
    }
    return;
  }
  link.client->transfer->onUpstreamEvent(link, events);
}

void ProxyLoop::dropAfterFault(ClientConnection* client, UpstreamConnection* link, const char* error)
{
  Logger::log(std::string("HttpServer: proxy connection closed after an internal error: ") + error,
              LogLevel::Error);
  // Closing the client ends its transfer, and the transfer its upstream connection.
  if (client != nullptr) {
    close(*client);
  } else if (link != nullptr) {
    pool->close(*link);
  }
}

void ProxyLoop::acceptConnections()
{
  for (int i = 0; i < acceptsPerWake; ++i) {
    auto client = std::make_unique<ClientConnection>();
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
      } else if (!SystemUtils::wouldBlock() && errno != ECONNABORTED) {
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
    event.data.ptr = static_cast<ProxyEventSource*>(client.get());
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, client->fd.get(), &event) != 0) {
      continue;
    }
    owner.connections.opened(client.get(), client->fd.get());
    const ClientConnection* key = client.get();
    connections.emplace(key, std::move(client));
  }
}

void ProxyLoop::onClientEvent(ClientConnection& client, uint32_t events)
{
  if (client.stage == ClientConnection::Stage::Closed) {
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
  case ClientConnection::Stage::Head:
    readRequest(client);
    break;
  case ClientConnection::Stage::Body:
    readBody(client);
    break;
  case ClientConnection::Stage::Answering:
    // Pipelined requests wait in the queue. A client that only shut its sending side down
    // still gets its answer, and the connection ends after it; a send fails if it is gone.
    if ((events & EPOLLHUP) != 0) {
      close(client);
      break;
    }
    client.closeAfterAnswer = client.closeAfterAnswer || client.peerClosed;
    client.inputPending = true;
    break;
  case ClientConnection::Stage::Closed:
    break;
  }
}

void ProxyLoop::readRequest(ClientConnection& client)
{
  char peeked[maxPeekedHeadBytes];
  const ssize_t size = recv(client.fd.get(), peeked, sizeof peeked, MSG_PEEK);
  if (size <= 0) {
    if (size == 0 || !SystemUtils::wouldBlock()) {
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
  ProxyTransfer::Host& host = *this;
  client.transfer = std::make_unique<ProxyTransfer>(host, client);
  client.transfer->package = std::move(package);
  client.transfer->port = port;
  client.transfer->target = std::move(route.target);
  client.transfer->fields = std::move(head.fields);
  client.transfer->connectionTokens = std::move(head.connectionTokens);
  client.transfer->upstream = {"package " + route.packageName, route.packageName};
  client.stage = ClientConnection::Stage::Body;
  client.arrival = ArrivalRate(client.lastActivity);
  client.receivingReported = false;
  if (head.expectContinue && (client.chunkedBody || client.bodyLeft > 0)) {
    HttpWriter::appendHead(client.output, "HTTP/1.1 100 Continue", {}, HttpWriter::Framing::None);
    flush(client);
    if (client.stage == ClientConnection::Stage::Closed) {
      return;
    }
  }
  readBody(client);
}

void ProxyLoop::readBody(ClientConnection& client)
{
  switch (client.readBody()) {
  case ClientConnection::BodyProgress::Complete:
    break;
  case ClientConnection::BodyProgress::Waiting:
    if (!client.receivingReported) {
      // A body that comes in one piece never makes it this far, and costs no report.
      client.receivingReported = true;
      owner.connections.receiving(&client, client.request.body.size());
    }
    return;
  case ClientConnection::BodyProgress::Gone:
    close(client);
    return;
  case ClientConnection::BodyProgress::BrokenFraming:
    refuseRequest(client, 400, "Http API: the request body's chunked framing is broken");
    return;
  case ClientConnection::BodyProgress::TooLarge:
    refuseRequest(client, 413,
                  "Http API: the request body is larger than " + std::to_string(Limits::maxRequestBodyBytes) +
                      " bytes");
    return;
  }
  if (client.receivingReported) {
    owner.connections.received(&client);
  }
  client.stage = ClientConnection::Stage::Answering;
  client.transfer->start();
}

void ProxyLoop::answer(ClientConnection& client, AnswerHead& head, const std::string& body)
{
  client.transfer.reset();
  // A HEAD gets the head the GET would get: the package's own framing lines, or this
  // server's for its own answers.
  const bool toHead = client.request.method == "HEAD";
  head.toHead = toHead && head.fromUpstream;
  head.contentLength = body.size();
  client.writeHead(head);
  if (AnswerHead::hasBody(head.status) && !toHead) {
    client.output += body;
  }
  client.answerWritten = true;
  flush(client);
}

// A transfer that brought no answer is reported by this server, never passed off as an empty
// answer of the upstream's.
void ProxyLoop::answerNoAnswer(ClientConnection& client, CURLcode code)
{
  const std::string message = ProxyTarget::noAnswerMessage(client.transfer->upstream);
  Logger::log(message, LogLevel::Error);
  AnswerHead head;
  head.status = 500;
  head.headers.emplace_back("Content-Type", "application/json");
  answer(client, head, jsonStatusBody(500, message, curl_easy_strerror(code)));
}

void ProxyLoop::refuseRequest(ClientConnection& client, unsigned status, const std::string& message)
{
  Logger::log(message, LogLevel::Debug);
  client.dropQueuedInput();
  client.stage = ClientConnection::Stage::Answering;
  client.closeAfterAnswer = true;
  AnswerHead head;
  head.status = status;
  head.headers.emplace_back("Content-Type", "application/json");
  answer(client, head, jsonStatusBody(status, message));
}

void ProxyLoop::touch(ClientConnection& client)
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
    ClientConnection& client = *touched[i];
    client.touched = false;
    if (client.stage != ClientConnection::Stage::Closed) {
      // A flush may read on: the next pipelined request, or a paused upstream.
      contained(&client, nullptr, [&] { flush(client); });
    }
  }
  touched.clear();
}

void ProxyLoop::flush(ClientConnection& client)
{
  switch (client.send()) {
  case ClientConnection::Progress::Done:
    break;
  case ClientConnection::Progress::Waiting:
    return; // the next EPOLLOUT edge comes back here
  case ClientConnection::Progress::Failed:
    close(client);
    return;
  }
  if (client.transfer) {
    client.transfer->clientCaughtUp();
    return;
  }
  if (client.answerWritten) {
    answerSent(client);
  }
}

void ProxyLoop::answerSent(ClientConnection& client)
{
  client.answerWritten = false;
  client.answeredOne = true;
  owner.connections.requestEnded(&client);
  if (client.closeAfterAnswer) {
    close(client);
    return;
  }
  client.stage = ClientConnection::Stage::Head;
  client.headBegun = false;
  client.request = RequestData();
  if (client.inputPending) {
    // No edge would announce these bytes again.
    readRequest(client);
  }
}

void ProxyLoop::handOff(ClientConnection& client, bool upload)
{
  epoll_ctl(epoll.get(), EPOLL_CTL_DEL, client.fd.get(), nullptr);
  owner.connections.closed(&client);
  client.stage = ClientConnection::Stage::Closed;
  auto entry = connections.find(&client);
  closed.push_back(std::move(entry->second));
  connections.erase(entry);
  owner.handOff(client.fd.release(), reinterpret_cast<const sockaddr*>(&client.address), client.addressLength,
                upload);
}

void ProxyLoop::close(ClientConnection& client)
{
  if (client.stage == ClientConnection::Stage::Closed) {
    return;
  }
  client.transfer.reset();
  owner.connections.closed(&client);
  client.fd.reset();
  client.stage = ClientConnection::Stage::Closed;
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
  std::vector<ClientConnection*> expired;
  std::vector<ClientConnection*> late;
  std::vector<std::pair<ClientConnection*, std::string>> tooSlow;
  for (const auto& entry : connections) {
    ClientConnection& client = *entry.second;
    if (client.stage == ClientConnection::Stage::Head && client.headBegun &&
        now - client.headSince >= std::chrono::seconds(Limits::httpRequestHeadDeadlineSeconds)) {
      tooSlow.emplace_back(&client, "Http API: the request head did not arrive within " +
                                        std::to_string(Limits::httpRequestHeadDeadlineSeconds) + " s");
      continue;
    }
    if (client.stage == ClientConnection::Stage::Body) {
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
    const bool waitsForClient = client.stage != ClientConnection::Stage::Answering || client.pending() > 0;
    const unsigned limit = client.stage == ClientConnection::Stage::Head && !client.answeredOne
                               ? Limits::httpRequestHeadTimeoutSeconds
                               : Limits::httpIdleTimeoutSeconds;
    if (waitsForClient && now - client.lastActivity >= std::chrono::seconds(limit)) {
      expired.push_back(&client);
    } else if (client.stage == ClientConnection::Stage::Answering && client.transfer &&
               client.pending() == 0 && now >= client.transfer->deadline) {
      late.push_back(&client);
    }
  }
  for (ClientConnection* client : expired) {
    // A head only peeked at is still queued: the client is told of the timeout by a plain
    // close, not a reset.
    if (client->stage == ClientConnection::Stage::Head) {
      client->dropQueuedInput();
    }
    close(*client);
  }
  for (ClientConnection* client : late) {
    contained(client, nullptr, [&] { client->transfer->timeOut(); });
  }
  for (auto& slow : tooSlow) {
    contained(slow.first, nullptr, [&] { refuseRequest(*slow.first, 408, slow.second); });
  }
}

void ProxyLoop::finished(ClientConnection& client, CURLcode result, HttpClient::Response* whole)
{
  ProxyTransfer& transfer = *client.transfer;
  if (transfer.streaming) {
    if (result == CURLE_OK) {
      HttpWriter::appendEnd(client.output,
                            transfer.chunked ? HttpWriter::Framing::Chunked : HttpWriter::Framing::Length);
    } else {
      if (result != CURLE_OPERATION_TIMEDOUT) {
        ProxyTransfer::logError(result, "the answer was cut short");
      }
      // What arrived still goes out; the client learns of the cut from the closed connection.
      client.closeAfterAnswer = true;
    }
    client.transfer.reset();
    client.answerWritten = true;
    flush(client);
    return;
  }
  if (result != CURLE_OK || whole == nullptr) {
    answerNoAnswer(client, result);
    return;
  }
  AnswerHead head;
  head.status = ProxyTarget::clientStatus(whole->statusCode);
  ProxyTarget::logFailureAnswer(transfer.upstream, client.request, head.status, whole->body);
  head.fromUpstream = true;
  head.upstreamFields = transfer.answerFields ? std::move(*transfer.answerFields) : sentFields(whole->headers);
  answer(client, head, whole->body);
}

void ProxyLoop::collectCurlDone()
{
  follower->collectDone([this](ClientConnection& client, CURLcode result) {
    if (client.transfer && client.transfer->curlRequest) {
      contained(&client, nullptr, [&] { client.transfer->curlDone(result); });
    }
  });
}
