#pragma once

#include "camera/HttpManager.h"
#include "http/ClientConnection.h"
#include "http/ProxyFrontEnd.h"
#include "http/ProxyTransfer.h"
#include "http/UpstreamPool.h"
#include "util/UniqueFd.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class Package;
struct AnswerHead;

// One event loop of the front end (see ProxyFrontEnd): its client connections, the
// connections to package servers that carry their requests, and libcurl transfers for the
// answers that redirect elsewhere. Everything here runs on the loop's own thread.
class ProxyLoop {
public:
  ProxyLoop(ProxyFrontEnd& owner, int listenSocket);
  ProxyLoop(const ProxyLoop&) = delete;
  ProxyLoop& operator=(const ProxyLoop&) = delete;
  ~ProxyLoop();

  bool start();
  void stop();

private:
  using Clock = std::chrono::steady_clock;
  using Connection = ClientConnection;
  using Transfer = ProxyTransfer;
  using UpstreamLink = UpstreamConnection;
  friend struct ProxyTransfer;

  // The epoll tag of a libcurl socket: this bit and the socket's number.
  static constexpr uint64_t curlSocketTag = uint64_t{1} << 63;
  // Whether a failed call on a non-blocking socket only has to wait.
  static bool wouldBlock();
  // When the upstream must have sent more, counted from now.
  static Clock::time_point upstreamDeadline();

  // The loop and its clients (ProxyLoop.cpp).
  void run();
  // Handles the events of one socket, contained.
  void dispatch(void* watched, uint32_t events);
  // Runs `work` for `client` (for `link` when there is no client). A fault in it costs that
  // connection, closed with a log line, never the loop and its other connections.
  template <class Work> void contained(Connection* client, UpstreamLink* link, Work&& work)
  {
    try {
      work();
    } catch (const std::exception& e) {
      dropAfterFault(client, link, e.what());
    } catch (...) {
      dropAfterFault(client, link, "unknown error");
    }
  }
  void dropAfterFault(Connection* client, UpstreamLink* link, const char* error);
  // Watches the listening socket; false when it cannot.
  bool listen();
  void acceptConnections();
  void onClientEvent(Connection& client, uint32_t events);
  void readRequest(Connection& client);
  void readBody(Connection& client);
  void answer(Connection& client, AnswerHead& head, const std::string& body);
  void answerNoAnswer(Connection& client, CURLcode code);
  // Answers `status` with `message` to a request that cannot be taken (it arrives too slowly,
  // or its body is broken or too large), and ends the connection.
  void refuseRequest(Connection& client, unsigned status, const std::string& message);
  void flush(Connection& client);
  void answerSent(Connection& client);
  void handOff(Connection& client, bool upload = false);
  void close(Connection& client);
  void touch(Connection& client);
  void flushTouched();
  void sweep();

  // Transfers (ProxyUpstream.cpp).
  void startTransfer(Connection& client);
  void sendOnLink(Transfer& transfer);
  void onUpstreamEvent(UpstreamLink& link, uint32_t events);
  void writeUpstream(UpstreamLink& link);
  void readUpstream(UpstreamLink& link);
  void onUpstreamFailure(UpstreamLink& link, CURLcode code);
  void closeLink(UpstreamLink& link);
  void followRedirect(Transfer& transfer, const std::string& location, int status);
  // Takes body bytes of the answer: held, or handed to the client as they come.
  // Takes body bytes of the answer: held while the answer may still be given whole, then
  // handed to the client as they come.
  void takeBody(Transfer& transfer, const char* data, size_t size);
  // Sends the answer's head, and from then on the body as it comes.
  void beginStreaming(Transfer& transfer);
  // Puts `head` into the client's output; the connection ends after the answer when either
  // the client or the head asks for it.
  static void writeHead(Connection& client, AnswerHead& head);
  void appendBody(Connection& client, const char* data, size_t size);
  // The answer is complete (`result` CURLE_OK) or failed.
  void finishTransfer(Connection& client, CURLcode result, HttpManager::Response* whole);
  void resumeReading(Transfer& transfer);
  void timeOut(Connection& client);
  void collectCurlDone();
  void driveCurl(curl_socket_t socket, int actions);
  static int onCurlSocket(CURL* handle, curl_socket_t socket, int what, void* self, void* socketData);
  static int onCurlTimer(CURLM* multi, long milliseconds, void* self);
  static size_t onCurlBody(char* data, size_t size, size_t count, void* self);

  struct MultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
  };

  ProxyFrontEnd& owner;
  const int listenSocket;
  UniqueFd epoll;
  UniqueFd wake;
  std::unique_ptr<CURLM, MultiDeleter> multi;
  // The listening socket is out of the epoll set while no descriptor is left for a connection.
  bool listenPaused = false;
  bool curlTimerSet = false;
  Clock::time_point curlDeadline;
  std::unordered_map<const Connection*, std::unique_ptr<Connection>> connections;
  std::unique_ptr<UpstreamPool> pool;
  // Connections whose output grew inside a callback, flushed once it returned.
  std::vector<Connection*> touched;
  // Closed during the events at hand, freed after them: a later event may still name one.
  std::vector<std::unique_ptr<Connection>> closed;
  std::atomic<bool> stopping{false};
  std::thread thread;
};
