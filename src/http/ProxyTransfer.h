#pragma once

#include "camera/HttpClient.h"
#include "http/ProxyTarget.h"

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class Package;
class RedirectFollower;
class UpstreamPool;
struct ClientConnection;
struct UpstreamConnection;

// One proxied request, from its forwarding to the last byte of the answer: the request is
// written to the package's server over a connection of the loop's UpstreamPool (a second
// time on a new connection when a kept one turns out closed), the answer read from it and,
// unless it redirects (then RedirectFollower fetches the answer instead), given to the client
// whole when it is small enough for the ETag cache, or streamed to it as it comes.
struct ProxyTransfer {
  using Clock = std::chrono::steady_clock;

  // What a transfer needs of the loop it runs on.
  class Host {
  public:
    virtual UpstreamPool& upstreams() = 0;
    virtual RedirectFollower& redirects() = 0;
    // The client's output grew: it is flushed once the event at hand is handled.
    virtual void touch(ClientConnection& client) = 0;
    // The transfer is over: complete when `result` is CURLE_OK, with the answer `whole`
    // unless it was streamed. Destroys the transfer.
    virtual void finished(ClientConnection& client, CURLcode result, HttpClient::Response* whole) = 0;
    // Ends the client's connection, and with it the transfer.
    virtual void close(ClientConnection& client) = 0;

  protected:
    ~Host() = default;
  };

  ProxyTransfer(Host& host, ClientConnection& client) : host(host), client(client) {}
  ProxyTransfer(const ProxyTransfer&) = delete;
  ProxyTransfer& operator=(const ProxyTransfer&) = delete;
  ~ProxyTransfer();

  // Forwards the client's request (complete, with its body) to 127.0.0.1:`port` at `target`.
  void start();
  // Handles the events of the connection that carries the request.
  void onUpstreamEvent(UpstreamConnection& link, uint32_t events);
  // libcurl's write callback for the answer to a followed redirect: takes the piece, or
  // pauses the transfer while the client is behind.
  size_t takeCurlBody(const char* data, size_t size);
  // libcurl is done with the followed redirect.
  void curlDone(CURLcode result);
  // The client took what was waiting for it: the answer may flow again.
  void clientCaughtUp();
  // The deadline passed: a slow body is streamed from here, a silent upstream ends it.
  void timeOut();

  // When the upstream must have sent more, counted from now.
  static Clock::time_point upstreamDeadline();
  // Logs a transfer that failed with `code`, and `detail`.
  static void logError(CURLcode code, const std::string& detail);

  Host& host;
  ClientConnection& client;
  // Held for the whole transfer, so that the package cannot be freed while it is proxied to.
  std::shared_ptr<Package> package;
  int port = 0;
  // The request target for the package, and the client's header lines with the names of
  // its Connection header: forwarded as received, but for the hop-by-hop ones.
  std::string target;
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::string> connectionTokens;
  // Asked of the ETag cache: only a plain GET is.
  bool cached = false;
  ProxyTarget::Upstream upstream;
  std::string url;
  // The request as sent to the package, kept for a second attempt.
  std::string requestText;
  // The request goes over `link`; an answer that redirects is followed by libcurl instead,
  // through `curlRequest`.
  UpstreamConnection* link = nullptr;
  bool retried = false;
  HttpClient::CacheTicket cacheTicket;
  std::unique_ptr<HttpClient::Request> curlRequest;
  bool curlAdded = false;
  // The body until the answer is known to outgrow one ETag cache entry.
  std::string held;
  // The fields of a whole answer read from the package, in the order they came; unset when
  // the answer came through libcurl or from the cache, whose lines are read instead.
  std::optional<std::vector<std::pair<std::string, std::string>>> answerFields;
  // The answer's head is sent and its body goes to the client as it arrives.
  bool streaming = false;
  bool chunked = false;
  // libcurl keeps back a piece until the client has taken what is held.
  bool curlPaused = false;
  // Before streaming, when the upstream must have begun its body; while streaming, when it
  // must have sent more to a client that waits.
  Clock::time_point deadline;

private:
  void sendOnLink();
  void writeUpstream(UpstreamConnection& link);
  void readUpstream(UpstreamConnection& link);
  void onUpstreamFailure(UpstreamConnection& link, CURLcode code);
  void followRedirect(const std::string& location, int status);
  // Takes the libcurl transfer out of the follower, if it is in it.
  void detachCurl();
  // Takes body bytes of the answer: held while the answer may still be given whole, then
  // handed to the client as they come.
  void takeBody(const char* data, size_t size);
  // Sends the answer's head, and from then on the body as it comes.
  void beginStreaming();
  void appendBody(const char* data, size_t size);
};
