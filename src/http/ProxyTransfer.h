#pragma once

#include "camera/HttpManager.h"
#include "http/ProxyTarget.h"

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class Package;
class ProxyLoop;
struct ClientConnection;
struct UpstreamConnection;

// One proxied request, from its forwarding to the last byte of the answer.
struct ProxyTransfer {
  using Clock = std::chrono::steady_clock;

  ProxyTransfer(ProxyLoop& loop, ClientConnection& client) : loop(loop), client(client) {}
  ProxyTransfer(const ProxyTransfer&) = delete;
  ProxyTransfer& operator=(const ProxyTransfer&) = delete;
  ~ProxyTransfer();
  // Takes the libcurl transfer out of the loop's multi handle, if it is in it.
  void detachCurl();

  ProxyLoop& loop;
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
  HttpManager::CacheTicket cacheTicket;
  std::unique_ptr<HttpManager::Request> curlRequest;
  bool curlAdded = false;
  // The body until the answer is known to outgrow one ETag cache entry.
  std::string held;
  // The answer's head is sent and its body goes to the client as it arrives.
  bool streaming = false;
  bool chunked = false;
  // libcurl keeps back a piece until the client has taken what is held.
  bool curlPaused = false;
  // Before streaming, when the upstream must have begun its body; while streaming, when it
  // must have sent more to a client that waits.
  Clock::time_point deadline;
};
