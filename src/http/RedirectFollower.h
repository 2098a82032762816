#pragma once

#include "camera/HttpClient.h"
#include "util/CHandle.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct ClientConnection;
struct ProxyTransfer;
struct RequestData;

// Follows the answers of packages that redirect, with libcurl's multi interface on a proxy
// loop's own epoll set, so that the transfer stays on the loop's thread: libcurl's sockets are
// watched under `socketTag` and their number, and its timer is kept for the loop to honour.
class RedirectFollower {
public:
  using Clock = std::chrono::steady_clock;
  // The epoll tag of a libcurl socket: this bit and the socket's number.
  static constexpr uint64_t socketTag = uint64_t{1} << 63;

  explicit RedirectFollower(int epoll);
  RedirectFollower(const RedirectFollower&) = delete;
  RedirectFollower& operator=(const RedirectFollower&) = delete;

  // False when libcurl's multi handle cannot be made.
  bool start();

  // The request that follows `location`, given in a `status` answer to `request` sent to the
  // URL `from` (without its scheme), as libcurl follows any redirect: 301, 302 and 303 turn a
  // POST into a GET, 307 and 308 send it again. Null when the location is no HTTP(S) URL.
  static std::unique_ptr<HttpClient::Request> prepare(const std::string& from, const RequestData& request,
                                                      const std::string& location, int status);

  // Runs `transfer`'s libcurl request: the answer's body goes to ProxyTransfer::takeCurlBody,
  // its end to the `done` given to collectDone. False when libcurl does not take it.
  bool add(ProxyTransfer& transfer, ClientConnection& client);
  // Takes `handle` out of the multi handle (it must be in it).
  void remove(CURL* handle);

  // Lets libcurl act on the events of one of its sockets.
  void onSocketEvent(uint64_t tag, uint32_t events);
  // How long the loop may wait for events before libcurl wants its timer, at most `longest`.
  std::chrono::milliseconds wait(std::chrono::milliseconds longest) const;
  // Lets libcurl act on its timer, when it is due.
  void onTimer();
  // Hands each request libcurl is done with to `done`, with the client it was for.
  void collectDone(const std::function<void(ClientConnection& client, CURLcode result)>& done);

private:
  void drive(curl_socket_t socket, int actions);
  static int onSocket(CURL* handle, curl_socket_t socket, int what, void* self, void* socketData);
  static int onTimerChange(CURLM* multi, long milliseconds, void* self);
  static size_t onBody(char* data, size_t size, size_t count, void* transfer);

  const int epoll;
  CHandle<CURLM, curl_multi_cleanup> multi;
  bool timerSet = false;
  Clock::time_point deadline;
};
