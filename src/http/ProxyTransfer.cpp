#include "http/ProxyTransfer.h"
#include "http/UpstreamHeadLines.h"

#include "http/AnswerHead.h"
#include "http/ClientConnection.h"
#include "http/HttpWriter.h"
#include "http/RedirectFollower.h"
#include "http/UpstreamPool.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "util/StringUtils.h"
#include "util/SystemUtils.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

// What one read from a package takes.
constexpr size_t upstreamReadBytes = 64 * 1024;

bool isRedirect(int status)
{
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The value of the last `name` header (lower-case) of the final head, empty when none.
std::string headerValue(const std::vector<std::string>& lines, const std::string& name)
{
  // The headers come last first.
  for (const auto& header : headersFromLines(lines)) {
    if (StringUtils::equalsLowerCase(header.first, name)) {
      return header.second;
    }
  }
  return "";
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

bool hasField(const HttpCodec::Fields& fields, std::string_view lowerCaseName)
{
  return std::any_of(fields.begin(), fields.end(), [&](const auto& field) {
    return StringUtils::equalsLowerCase(field.first, lowerCaseName);
  });
}

bool asksConditionally(const std::vector<std::pair<std::string, std::string>>& fields)
{
  return std::any_of(fields.begin(), fields.end(), [](const auto& field) {
    const std::string_view name = field.first;
    return StringUtils::equalsLowerCase(name.substr(0, 3), "if-") ||
           StringUtils::equalsLowerCase(name, "range");
  });
}

} // namespace

ProxyTransfer::Clock::time_point ProxyTransfer::upstreamDeadline()
{
  return Clock::now() + std::chrono::seconds(ProxyTarget::upstreamTimeoutSeconds);
}

void ProxyTransfer::logError(CURLcode code, const std::string& detail)
{
  Logger::log("Curl error: " + std::to_string(code) + " - " + curl_easy_strerror(code) + ", " + detail,
              LogLevel::Warning);
}

ProxyTransfer::~ProxyTransfer()
{
  if (link != nullptr) {
    // An answer cut midway leaves nothing the connection could be used for again.
    UpstreamConnection* cut = link;
    link = nullptr;
    cut->client = nullptr;
    host.upstreams().close(*cut);
  }
  detachCurl();
}

void ProxyTransfer::detachCurl()
{
  if (curlRequest && curlAdded) {
    host.redirects().remove(curlRequest->handle());
  }
  curlAdded = false;
}

void ProxyTransfer::start()
{
  const RequestData& request = client.request;
  ProxyTransfer& transfer = *this;
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
    transfer.cacheTicket = HttpClient::cachedTag(transfer.url, etag);
  }
  // A body, however it came, goes with its length; a method that carries one says so even
  // when it is empty.
  const bool withLength = !request.body.empty() || request.method == "POST" || request.method == "PUT" ||
                          request.method == "PATCH";
  std::string& text = transfer.requestText;
  text.reserve(256 + request.body.size());
  text += request.method;
  text += ' ';
  text += transfer.target;
  text += " HTTP/1.1\r\n";
  HttpWriter::appendField(text, "Host", host);
  for (const auto& field : transfer.fields) {
    if (isEndToEnd(StringUtils::toLowerCopy(field.first), transfer.connectionTokens)) {
      HttpWriter::appendField(text, field.first, field.second);
    }
  }
  if (!etag.empty()) {
    HttpWriter::appendField(text, "If-None-Match", "\"" + etag + "\"");
  }
  HttpWriter::appendEndOfHead(text, withLength ? HttpWriter::Framing::Length : HttpWriter::Framing::None,
                              request.body.size());
  text += request.body;
  transfer.deadline = upstreamDeadline();
  sendOnLink();
}

void ProxyTransfer::sendOnLink()
{
  UpstreamConnection* next = host.upstreams().acquire(port, retried);
  if (next == nullptr) {
    logError(CURLE_COULDNT_CONNECT, url);
    host.finished(client, CURLE_COULDNT_CONNECT, nullptr);
    return;
  }
  next->client = &client;
  next->response = UpstreamResponse();
  if (client.request.method == "HEAD") {
    next->response.answersHead();
  }
  next->sent = 0;
  next->readPaused = false;
  link = next;
  // A connection still being made is written to on its first writable edge.
  writeUpstream(*next);
}

void ProxyTransfer::onUpstreamEvent(UpstreamConnection& link, uint32_t events)
{
  // Told once: a package that ends its side right after an answer leaves no later edge that
  // would tell of it before the link carries the next request.
  link.peerClosed = link.peerClosed || (events & (EPOLLRDHUP | EPOLLHUP)) != 0;
  if (!link.connected) {
    if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) {
      return;
    }
    if (!link.connectFinished()) {
      onUpstreamFailure(link, CURLE_COULDNT_CONNECT);
      return;
    }
  }
  if ((events & EPOLLOUT) != 0) {
    writeUpstream(link);
  }
  // Writing may have ended the transfer (the request failed): the connection is closed then.
  if (!link.closed && link.client != nullptr &&
      (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
    readUpstream(link);
  }
}

void ProxyTransfer::writeUpstream(UpstreamConnection& link)
{
  if (link.send(requestText) == UpstreamConnection::Progress::Failed) {
    onUpstreamFailure(link, CURLE_SEND_ERROR);
  }
}

void ProxyTransfer::readUpstream(UpstreamConnection& link)
{
  ProxyTransfer& transfer = *this;
  char buffer[upstreamReadBytes];
  std::string body;
  for (;;) {
    if (transfer.streaming && client.pending() > Limits::maxProxyHeldBytes) {
      link.readPaused = true;
      return;
    }
    const ssize_t size = recv(link.fd.get(), buffer, sizeof buffer, 0);
    bool leftover = false;
    if (size < 0 && SystemUtils::wouldBlock()) {
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
          followRedirect(location, link.response.status());
          return;
        }
      }
      takeBody(body.data(), body.size());
    }
    if (link.response.state() == UpstreamResponse::State::Failed) {
      onUpstreamFailure(link, link.response.error());
      return;
    }
    if (link.response.state() == UpstreamResponse::State::Done) {
      HttpClient::Response whole;
      if (!transfer.streaming) {
        whole.curlCode = CURLE_OK;
        whole.statusCode = link.response.status();
        whole.body = std::move(transfer.held);
        // The cache keeps libcurl's lines; an answer it can neither store nor replay is given
        // with the fields as they were read.
        bool replayed = false;
        if (transfer.cached && (whole.statusCode == 304 || hasField(link.response.fields(), "etag"))) {
          whole.headers = link.response.headerLines();
          replayed = HttpClient::settle(transfer.url, transfer.cacheTicket, whole);
        }
        if (!replayed) {
          transfer.answerFields = link.response.takeFields();
        }
      }
      transfer.link = nullptr;
      host.upstreams().release(link, link.response.reusable() && !leftover);
      host.finished(client, CURLE_OK, transfer.streaming ? nullptr : &whole);
      return;
    }
  }
}

void ProxyTransfer::takeBody(const char* data, size_t size)
{
  ProxyTransfer& transfer = *this;
  // The body is held until it outgrows what the ETag cache may store of one answer; an
  // answer that ends before is given whole, cached and replayed as any other.
  if (!transfer.streaming && transfer.held.size() + size <= Limits::maxEtagEntryBytes) {
    transfer.held.append(data, size);
    return;
  }
  if (!transfer.streaming) {
    beginStreaming();
  }
  transfer.deadline = upstreamDeadline();
  appendBody(data, size);
}

void ProxyTransfer::beginStreaming()
{
  ProxyTransfer& transfer = *this;
  long status = 0;
  int64_t length = -1;
  AnswerHead head;
  head.fromUpstream = true;
  if (transfer.link != nullptr) {
    status = transfer.link->response.status();
    length = transfer.link->response.announcedLength();
    head.upstreamFields = transfer.link->response.fields();
  } else {
    CURL* handle = transfer.curlRequest->handle();
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    // No Accept-Encoding is ever sent, so the body comes in the encoding it came in, and the
    // upstream's length (unknown when it came chunked) is the client's.
    const std::vector<std::string>& lines = transfer.curlRequest->response().headers;
    length = readUpstreamHead(lines).bodyLength;
    head.upstreamFields = sentFields(lines);
  }
  head.status = ProxyTarget::clientStatus(static_cast<int32_t>(status));
  ProxyTarget::logFailureAnswer(transfer.upstream, client.request, head.status, transfer.held);
  head.framing = length >= 0     ? AnswerHead::Framing::Length
                 : client.http10 ? AnswerHead::Framing::UntilClose
                                 : AnswerHead::Framing::Chunked;
  head.contentLength = length >= 0 ? static_cast<uint64_t>(length) : 0;
  client.writeHead(head);
  transfer.streaming = true;
  transfer.chunked = head.framing == AnswerHead::Framing::Chunked;
  std::string held;
  held.swap(transfer.held);
  appendBody(held.data(), held.size());
}

void ProxyTransfer::appendBody(const char* data, size_t size)
{
  if (size == 0) {
    return;
  }
  HttpWriter::appendBody(client.output, chunked ? HttpWriter::Framing::Chunked : HttpWriter::Framing::Length,
                         data, size);
  host.touch(client);
}

void ProxyTransfer::onUpstreamFailure(UpstreamConnection& link, CURLcode code)
{
  ProxyTransfer& transfer = *this;
  // A kept-alive connection the package closed meanwhile fails before any answer: the
  // request goes again, once, on a new connection.
  const bool again = link.reused && !link.response.started() && !transfer.retried;
  transfer.link = nullptr;
  link.client = nullptr;
  host.upstreams().close(link);
  if (again) {
    transfer.retried = true;
    sendOnLink();
    return;
  }
  if (!transfer.streaming) {
    logError(code, transfer.url);
  }
  host.finished(client, code, nullptr);
}

void ProxyTransfer::followRedirect(const std::string& location, int status)
{
  UpstreamConnection* redirected = link;
  link = nullptr;
  redirected->client = nullptr;
  host.upstreams().close(*redirected);
  curlRequest = RedirectFollower::prepare(url, client.request, location, status);
  if (!curlRequest) {
    logError(CURLE_URL_MALFORMAT, location);
    host.finished(client, CURLE_URL_MALFORMAT, nullptr);
    return;
  }
  held.clear();
  deadline = upstreamDeadline();
  curlAdded = host.redirects().add(*this, client);
  if (!curlAdded) {
    host.finished(client, CURLE_OUT_OF_MEMORY, nullptr);
  }
}

void ProxyTransfer::clientCaughtUp()
{
  ProxyTransfer& transfer = *this;
  if (streaming) {
    // The client waits from here: the upstream has the whole limit for its next piece.
    deadline = upstreamDeadline();
  }
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

void ProxyTransfer::timeOut()
{
  ProxyTransfer& transfer = *this;
  if (transfer.streaming) {
    // The upstream gets the whole time limit again for every piece the client waits for.
    Logger::log("Curl error: " + std::to_string(CURLE_OPERATION_TIMEDOUT) +
                    " - the upstream stopped sending, the answer was cut short",
                LogLevel::Warning);
    host.close(client);
    return;
  }
  if (!transfer.held.empty()) {
    // A body arriving slowly is handed on as it comes, with the whole limit for each piece.
    beginStreaming();
    transfer.deadline = upstreamDeadline();
    return;
  }
  if (transfer.curlRequest) {
    transfer.detachCurl();
    HttpClient::finish(std::move(transfer.curlRequest), CURLE_OPERATION_TIMEDOUT);
  } else {
    logError(CURLE_OPERATION_TIMEDOUT,
             "no answer within " + std::to_string(ProxyTarget::upstreamTimeoutSeconds) + " s");
  }
  host.finished(client, CURLE_OPERATION_TIMEDOUT, nullptr);
}

size_t ProxyTransfer::takeCurlBody(const char* data, size_t size)
{
  try {
    if (streaming && client.pending() > Limits::maxProxyHeldBytes) {
      curlPaused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    takeBody(data, size);
    return size;
  } catch (...) {
    return 0;
  }
}

void ProxyTransfer::curlDone(CURLcode result)
{
  detachCurl();
  if (streaming) {
    curlRequest.reset();
    host.finished(client, result, nullptr);
    return;
  }
  curlRequest->response().body = std::move(held);
  const std::unique_ptr<HttpClient::Response> whole = HttpClient::finish(std::move(curlRequest), result);
  host.finished(client, static_cast<CURLcode>(whole->curlCode), whole.get());
}
