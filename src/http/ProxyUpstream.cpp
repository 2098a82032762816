#include "http/ProxyLoop.h"

#include "http/AnswerHead.h"
#include "http/HttpServer.h"
#include "http/HttpWriter.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "util/StringUtils.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>

// The upstream side of the loop's transfers: requests written to package servers over
// kept-alive connections, their answers read and handed to the client, and libcurl
// transfers for answers that redirect elsewhere.

namespace {

// What one read from a package takes.
constexpr size_t upstreamReadBytes = 64 * 1024;

struct UrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};

bool isRedirect(int status)
{
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The value of the last `name` header (lower-case) of the final head, empty when none.
std::string headerValue(const std::vector<std::string>& lines, const std::string& name)
{
  // The headers come last first.
  for (const auto& header : HttpServer::headersFromLines(lines)) {
    if (StringUtils::toLowerCopy(header.first) == name) {
      return header.second;
    }
  }
  return "";
}

// `location` resolved against the URL `base`;
// empty when either cannot be read.
std::string resolve(const std::string& base, const std::string& location)
{
  std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  char* resolved = nullptr;
  if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_URL, location.c_str(), 0) != CURLUE_OK ||
      curl_url_get(url.get(), CURLUPART_URL, &resolved, 0) != CURLUE_OK) {
    return "";
  }
  std::string text(resolved);
  curl_free(resolved);
  return text;
}

// Whether a client's header goes on to the package. Hop-by-hop headers (RFC 9110, 7.6.1)
// and those the Connection header names stop here, as do the framing this server writes
// itself and the camera's own credentials, which are no package's business.
bool isEndToEnd(const std::string& name, const std::vector<std::string>& connectionTokens)
{
  static const char* const stopped[] = {"connection",
                                        "keep-alive",
                                        "proxy-connection",
                                        "te",
                                        "trailer",
                                        "transfer-encoding",
                                        "upgrade",
                                        "proxy-authorization",
                                        "proxy-authenticate",
                                        "host",
                                        "content-length",
                                        "expect",
                                        "authorization",
                                        "cookie"};
  for (const char* stop : stopped) {
    if (name == stop) {
      return false;
    }
  }
  return std::find(connectionTokens.begin(), connectionTokens.end(), name) == connectionTokens.end();
}

bool asksConditionally(const std::vector<std::pair<std::string, std::string>>& fields)
{
  for (const auto& field : fields) {
    const std::string name = StringUtils::toLowerCopy(field.first);
    if (name.rfind("if-", 0) == 0 || name == "range") {
      return true;
    }
  }
  return false;
}

void logTransferError(CURLcode code, const std::string& detail)
{
  Logger::log("Curl error: " + std::to_string(code) + " - " + curl_easy_strerror(code) + ", " + detail,
              LogLevel::Warning);
}

} // namespace

ProxyLoop::Transfer::~Transfer()
{
  if (link != nullptr) {
    // An answer cut midway leaves nothing the connection could be used for again.
    UpstreamLink* cut = link;
    link = nullptr;
    cut->client = nullptr;
    loop.closeLink(*cut);
  }
  detachCurl();
}

void ProxyLoop::Transfer::detachCurl()
{
  if (curlRequest && curlAdded) {
    curl_multi_remove_handle(loop.multi.get(), curlRequest->handle());
  }
  curlAdded = false;
}

void ProxyLoop::startTransfer(Connection& client)
{
  const RequestData& request = client.request;
  Transfer& transfer = *client.transfer;
  const std::string host = "127.0.0.1:" + std::to_string(transfer.port);
  transfer.url = host + transfer.target;
  if (Logger::getLevel() == LogLevel::Trace) {
    Logger::log("Http " + request.method + ": " + transfer.url, LogLevel::Trace);
  }
  // The ETag cache answers for plain GETs only: a client's own conditions or range are its
  // business with the package, and the answer to them is passed on as it comes.
  std::string etag;
  transfer.cached = request.method == "GET" && request.body.empty() && !asksConditionally(transfer.fields);
  if (transfer.cached) {
    transfer.cacheTicket = HttpManager::cachedTag(transfer.url, etag);
  }
  HttpWriter::Fields fields;
  fields.reserve(transfer.fields.size() + 2);
  fields.emplace_back("Host", host);
  for (const auto& field : transfer.fields) {
    if (isEndToEnd(StringUtils::toLowerCopy(field.first), transfer.connectionTokens)) {
      fields.push_back(field);
    }
  }
  if (!etag.empty()) {
    fields.emplace_back("If-None-Match", "\"" + etag + "\"");
  }
  // A body, however it came, goes with its length; a method that carries one says so even
  // when it is empty.
  const bool withLength = !request.body.empty() || request.method == "POST" || request.method == "PUT" ||
                          request.method == "PATCH";
  std::string& text = transfer.requestText;
  text.reserve(256 + request.body.size());
  HttpWriter::appendHead(text, request.method + " " + transfer.target + " HTTP/1.1", fields,
                         withLength ? HttpWriter::Framing::Length : HttpWriter::Framing::None,
                         request.body.size());
  text += request.body;
  transfer.deadline = upstreamDeadline();
  sendOnLink(transfer);
}

void ProxyLoop::sendOnLink(Transfer& transfer)
{
  std::vector<UpstreamLink*>& idle = idleLinks[transfer.port];
  UpstreamLink* link = nullptr;
  if (!idle.empty() && !transfer.retried) {
    link = idle.back();
    idle.pop_back();
  } else {
    auto created = std::make_unique<UpstreamLink>();
    created->port = transfer.port;
    created->fd.reset(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(transfer.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int noDelay = 1;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.ptr = static_cast<Watched*>(created.get());
    const bool made =
        created->fd && setsockopt(created->fd.get(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) == 0;
    created->connected =
        made && connect(created->fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (!made || (!created->connected && errno != EINPROGRESS) ||
        epoll_ctl(epoll.get(), EPOLL_CTL_ADD, created->fd.get(), &event) != 0) {
      logTransferError(CURLE_COULDNT_CONNECT, transfer.url);
      finishTransfer(transfer.client, CURLE_COULDNT_CONNECT, nullptr);
      return;
    }
    link = created.get();
    links.emplace(link, std::move(created));
  }
  link->client = &transfer.client;
  link->response = UpstreamResponse();
  if (transfer.client.request.method == "HEAD") {
    link->response.answersHead();
  }
  link->sent = 0;
  link->readPaused = false;
  transfer.link = link;
  // A connection still being made is written to on its first writable edge.
  writeUpstream(*link);
}

void ProxyLoop::onUpstreamEvent(UpstreamLink& link, uint32_t events)
{
  if (link.closed) {
    return;
  }
  if (link.client == nullptr) {
    // Idle: the package closed the connection, or spoke out of turn.
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
      closeLink(link);
    }
    return;
  }
  // Told once: a package that ends its side right after an answer leaves no later edge that
  // would tell of it before the link carries the next request.
  link.peerClosed = link.peerClosed || (events & (EPOLLRDHUP | EPOLLHUP)) != 0;
  if (!link.connected) {
    if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) {
      return;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(link.fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      onUpstreamFailure(link, CURLE_COULDNT_CONNECT);
      return;
    }
    link.connected = true;
  }
  if ((events & EPOLLOUT) != 0) {
    writeUpstream(link);
  }
  if (!link.closed && link.client != nullptr &&
      (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
    readUpstream(link);
  }
}

void ProxyLoop::writeUpstream(UpstreamLink& link)
{
  if (!link.connected) {
    return;
  }
  const std::string& text = link.client->transfer->requestText;
  while (link.sent < text.size()) {
    const ssize_t size = send(link.fd.get(), text.data() + link.sent, text.size() - link.sent, MSG_NOSIGNAL);
    if (size < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (!wouldBlock()) {
        onUpstreamFailure(link, CURLE_SEND_ERROR);
      }
      return;
    }
    link.sent += static_cast<size_t>(size);
  }
}

void ProxyLoop::readUpstream(UpstreamLink& link)
{
  Connection& client = *link.client;
  Transfer& transfer = *client.transfer;
  char buffer[upstreamReadBytes];
  std::string body;
  for (;;) {
    if (transfer.streaming && client.pending() > Limits::maxProxyHeldBytes) {
      link.readPaused = true;
      return;
    }
    const ssize_t size = recv(link.fd.get(), buffer, sizeof buffer, 0);
    bool leftover = false;
    if (size < 0 && wouldBlock()) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (size < 0) {
      // A reset is no end of the body, even of one that runs until the connection closes.
      onUpstreamFailure(link, link.response.started() ? CURLE_RECV_ERROR : CURLE_GOT_NOTHING);
      return;
    }
    if (size == 0) {
      link.response.closed();
    } else {
      const bool hadHead = link.response.state() != UpstreamResponse::State::Head;
      body.clear();
      leftover = link.response.read(buffer, static_cast<size_t>(size), body) < static_cast<size_t>(size);
      if (!hadHead && link.response.state() != UpstreamResponse::State::Head &&
          link.response.state() != UpstreamResponse::State::Failed && isRedirect(link.response.status()) &&
          (client.request.method == "GET" || client.request.method == "POST")) {
        const std::string location = headerValue(link.response.headerLines(), "location");
        if (!location.empty()) {
          followRedirect(transfer, location, link.response.status());
          return;
        }
      }
      takeBody(transfer, body.data(), body.size());
    }
    if (link.response.state() == UpstreamResponse::State::Failed) {
      onUpstreamFailure(link, link.response.error());
      return;
    }
    if (link.response.state() == UpstreamResponse::State::Done) {
      HttpManager::Response whole;
      if (!transfer.streaming) {
        whole.curlCode = CURLE_OK;
        whole.statusCode = link.response.status();
        whole.headers = link.response.headerLines();
        whole.body = std::move(transfer.held);
        if (transfer.cached) {
          HttpManager::settle(transfer.url, transfer.cacheTicket, whole);
        }
      }
      transfer.link = nullptr;
      releaseLink(link, link.response.reusable() && !leftover && !link.peerClosed);
      finishTransfer(client, CURLE_OK, transfer.streaming ? nullptr : &whole);
      return;
    }
  }
}

void ProxyLoop::takeBody(Transfer& transfer, const char* data, size_t size)
{
  // The body is held until it outgrows what the ETag cache may store of one answer; an
  // answer that ends before is given whole, cached and replayed as any other.
  if (!transfer.streaming && transfer.held.size() + size <= Limits::maxEtagEntryBytes) {
    transfer.held.append(data, size);
    return;
  }
  if (!transfer.streaming) {
    beginStreaming(transfer);
  }
  transfer.deadline = upstreamDeadline();
  appendBody(transfer.client, data, size);
}

void ProxyLoop::beginStreaming(Transfer& transfer)
{
  Connection& client = transfer.client;
  long status = 0;
  int64_t length = -1;
  std::vector<std::string> lines;
  if (transfer.link != nullptr) {
    status = transfer.link->response.status();
    length = transfer.link->response.announcedLength();
    lines = transfer.link->response.headerLines();
  } else {
    CURL* handle = transfer.curlRequest->handle();
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    // No Accept-Encoding is ever sent, so the body comes in the encoding it came in, and the
    // upstream's length (unknown when it came chunked) is the client's.
    lines = transfer.curlRequest->response().headers;
    length = HttpServer::bodyLengthFromLines(lines);
  }
  AnswerHead head;
  head.status = ProxyTarget::clientStatus(static_cast<int32_t>(status));
  ProxyTarget::logFailureAnswer(transfer.upstream, client.request, head.status, transfer.held);
  head.headerLines = std::move(lines);
  head.framing = length >= 0     ? AnswerHead::Framing::Length
                 : client.http10 ? AnswerHead::Framing::UntilClose
                                 : AnswerHead::Framing::Chunked;
  head.contentLength = length >= 0 ? static_cast<uint64_t>(length) : 0;
  writeHead(client, head);
  transfer.streaming = true;
  transfer.chunked = head.framing == AnswerHead::Framing::Chunked;
  std::string held;
  held.swap(transfer.held);
  appendBody(client, held.data(), held.size());
}

void ProxyLoop::appendBody(Connection& client, const char* data, size_t size)
{
  if (size == 0) {
    return;
  }
  HttpWriter::appendBody(
      client.output, client.transfer->chunked ? HttpWriter::Framing::Chunked : HttpWriter::Framing::Length,
      data, size);
  touch(client);
}

void ProxyLoop::finishTransfer(Connection& client, CURLcode result, HttpManager::Response* whole)
{
  Transfer& transfer = *client.transfer;
  if (transfer.streaming) {
    if (result == CURLE_OK) {
      HttpWriter::appendEnd(client.output,
                            transfer.chunked ? HttpWriter::Framing::Chunked : HttpWriter::Framing::Length);
    } else {
      if (result != CURLE_OPERATION_TIMEDOUT) {
        logTransferError(result, "the answer was cut short");
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
  head.headerLines = whole->headers;
  answer(client, head, whole->body);
}

void ProxyLoop::onUpstreamFailure(UpstreamLink& link, CURLcode code)
{
  Connection& client = *link.client;
  Transfer& transfer = *client.transfer;
  // A kept-alive connection the package closed meanwhile fails before any answer: the
  // request goes again, once, on a new connection.
  const bool again = link.reused && !link.response.started() && !transfer.retried;
  transfer.link = nullptr;
  link.client = nullptr;
  closeLink(link);
  if (again) {
    transfer.retried = true;
    sendOnLink(transfer);
    return;
  }
  if (!transfer.streaming) {
    logTransferError(code, transfer.url);
  }
  finishTransfer(client, code, nullptr);
}

void ProxyLoop::releaseLink(UpstreamLink& link, bool reusable)
{
  link.client = nullptr;
  std::vector<UpstreamLink*>& idle = idleLinks[link.port];
  if (!reusable || stopping || idle.size() >= Limits::maxIdleUpstreamConnections) {
    closeLink(link);
    return;
  }
  link.reused = true;
  link.readPaused = false;
  idle.push_back(&link);
}

void ProxyLoop::closeLink(UpstreamLink& link)
{
  if (link.closed) {
    return;
  }
  link.closed = true;
  auto idle = idleLinks.find(link.port);
  if (idle != idleLinks.end()) {
    idle->second.erase(std::remove(idle->second.begin(), idle->second.end(), &link), idle->second.end());
    if (idle->second.empty()) {
      idleLinks.erase(idle);
    }
  }
  if (link.client != nullptr && link.client->transfer && link.client->transfer->link == &link) {
    link.client->transfer->link = nullptr;
  }
  link.fd.reset();
  auto entry = links.find(&link);
  if (entry != links.end()) {
    closedLinks.push_back(std::move(entry->second));
    links.erase(entry);
  }
}

void ProxyLoop::followRedirect(Transfer& transfer, const std::string& location, int status)
{
  Connection& client = transfer.client;
  UpstreamLink* link = transfer.link;
  transfer.link = nullptr;
  link->client = nullptr;
  closeLink(*link);
  // libcurl follows from here as it follows any redirect: 301, 302 and 303 turn a POST into a
  // GET, 307 and 308 send it again.
  const RequestData& request = client.request;
  // Only to HTTP: a package must not make this process read a local file or speak another
  // protocol for it.
  std::string target = resolve("http://" + transfer.url, location);
  if (target.rfind("http://", 0) != 0 && target.rfind("https://", 0) != 0) {
    target.clear();
  }
  const bool post = request.method == "POST" && !request.body.empty() && (status == 307 || status == 308);
  transfer.curlRequest =
      target.empty() ? nullptr
      : post         ? HttpManager::preparePost(target, request.body, request.header("Content-Type"), "", 0)
                     : HttpManager::prepareGet(target, "", 0);
  if (!transfer.curlRequest) {
    logTransferError(CURLE_URL_MALFORMAT, location);
    finishTransfer(client, CURLE_URL_MALFORMAT, nullptr);
    return;
  }
  transfer.held.clear();
  CURL* handle = transfer.curlRequest->handle();
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onCurlBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_PRIVATE, &client);
  transfer.deadline = upstreamDeadline();
  transfer.curlAdded = curl_multi_add_handle(multi.get(), handle) == CURLM_OK;
  if (!transfer.curlAdded) {
    finishTransfer(client, CURLE_OUT_OF_MEMORY, nullptr);
  }
}

void ProxyLoop::resumeReading(Transfer& transfer)
{
  if (transfer.link != nullptr && transfer.link->readPaused) {
    transfer.link->readPaused = false;
    transfer.deadline = upstreamDeadline();
    readUpstream(*transfer.link);
  } else if (transfer.curlPaused) {
    transfer.curlPaused = false;
    transfer.deadline = upstreamDeadline();
    // libcurl hands over the piece it kept back from inside this call; the client is flushed
    // with the other touched connections.
    curl_easy_pause(transfer.curlRequest->handle(), CURLPAUSE_CONT);
  }
}

void ProxyLoop::timeOut(Connection& client)
{
  Transfer& transfer = *client.transfer;
  if (transfer.streaming) {
    // The upstream gets the whole time limit again for every piece the client waits for.
    Logger::log("Curl error: " + std::to_string(CURLE_OPERATION_TIMEDOUT) +
                    " - the upstream stopped sending, the answer was cut short",
                LogLevel::Warning);
    close(client);
    return;
  }
  if (!transfer.held.empty()) {
    // A body arriving slowly is handed on as it comes, with the whole limit for each piece.
    beginStreaming(transfer);
    transfer.deadline = upstreamDeadline();
    return;
  }
  if (transfer.curlRequest) {
    transfer.detachCurl();
    HttpManager::finish(std::move(transfer.curlRequest), CURLE_OPERATION_TIMEDOUT);
  } else {
    logTransferError(CURLE_OPERATION_TIMEDOUT,
                     "no answer within " + std::to_string(ProxyTarget::upstreamTimeoutSeconds) + " s");
  }
  finishTransfer(client, CURLE_OPERATION_TIMEDOUT, nullptr);
}

void ProxyLoop::collectCurlDone()
{
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
    if (message->msg != CURLMSG_DONE) {
      continue;
    }
    Connection* client = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &client);
    const CURLcode result = message->data.result;
    if (client == nullptr || !client->transfer || !client->transfer->curlRequest) {
      continue;
    }
    contained(client, nullptr, [&] {
      Transfer& transfer = *client->transfer;
      transfer.detachCurl();
      if (transfer.streaming) {
        transfer.curlRequest.reset();
        finishTransfer(*client, result, nullptr);
        return;
      }
      transfer.curlRequest->response().body = std::move(transfer.held);
      const std::unique_ptr<HttpManager::Response> whole =
          HttpManager::finish(std::move(transfer.curlRequest), result);
      finishTransfer(*client, static_cast<CURLcode>(whole->curlCode), whole.get());
    });
  }
}

size_t ProxyLoop::onCurlBody(char* data, size_t size, size_t count, void* self)
{
  auto& transfer = *static_cast<Transfer*>(self);
  const size_t length = size * count;
  try {
    if (transfer.streaming && transfer.client.pending() > Limits::maxProxyHeldBytes) {
      transfer.curlPaused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    transfer.loop.takeBody(transfer, data, length);
    return length;
  } catch (...) {
    return 0;
  }
}

void ProxyLoop::driveCurl(curl_socket_t socket, int actions)
{
  int running = 0;
  const CURLMcode code = curl_multi_socket_action(multi.get(), socket, actions, &running);
  if (code != CURLM_OK) {
    Logger::log(std::string("Curl multi error: ") + curl_multi_strerror(code), LogLevel::Warning);
  }
}

int ProxyLoop::onCurlSocket(CURL*, curl_socket_t socket, int what, void* self, void* socketData)
{
  auto& loop = *static_cast<ProxyLoop*>(self);
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

int ProxyLoop::onCurlTimer(CURLM*, long milliseconds, void* self)
{
  auto& loop = *static_cast<ProxyLoop*>(self);
  loop.curlTimerSet = milliseconds >= 0;
  loop.curlDeadline = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0L));
  return 0;
}
