#pragma once

#include "camera/HttpClient.h"
#include "http/ClientConnection.h"
#include "http/ProxyFrontEnd.h"
#include "http/ProxyTransfer.h"
#include "http/RedirectFollower.h"
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

struct AnswerHead;

// One event loop of the front end (see ProxyFrontEnd) on its own thread: it accepts client
// connections, peeks at their request heads, takes the requests it can forward to a package
// (each a ProxyTransfer) and hands every other connection on, writes the answers, and keeps
// the timeouts. The connections to package servers are its UpstreamPool's, redirects are
// followed by its RedirectFollower; all of them share the loop's epoll set.
class ProxyLoop : private ProxyTransfer::Host {
public:
  ProxyLoop(ProxyFrontEnd& owner, int listenSocket);
  ProxyLoop(const ProxyLoop&) = delete;
  ProxyLoop& operator=(const ProxyLoop&) = delete;
  ~ProxyLoop();

  bool start();
  void stop();

private:
  using Clock = std::chrono::steady_clock;

  void run();
  // Handles the events of one socket, contained.
  void dispatch(void* watched, uint32_t events);
  // Runs `work` for `client` (for `link` when there is no client). A fault in it costs that
  // connection, closed with a log line, never the loop and its other connections.
  template <class Work> void contained(ClientConnection* client, UpstreamConnection* link, Work&& work)
  {
    try {
      work();
    } catch (const std::exception& e) {
      dropAfterFault(client, link, e.what());
    } catch (...) {
      dropAfterFault(client, link, "unknown error");
    }
  }
  void dropAfterFault(ClientConnection* client, UpstreamConnection* link, const char* error);
  // Watches the listening socket; false when it cannot.
  bool listen();
  void acceptConnections();
  void onClientEvent(ClientConnection& client, uint32_t events);
  void onUpstreamEvent(UpstreamConnection& link, uint32_t events);
  void readRequest(ClientConnection& client);
  void readBody(ClientConnection& client);
  void answer(ClientConnection& client, AnswerHead& head, const std::string& body);
  void answerNoAnswer(ClientConnection& client, CURLcode code);
  // Answers `status` with `message` to a request that cannot be taken (it arrives too slowly,
  // or its body is broken or too large), and ends the connection.
  void refuseRequest(ClientConnection& client, unsigned status, const std::string& message);
  void flush(ClientConnection& client);
  void answerSent(ClientConnection& client);
  void handOff(ClientConnection& client, bool upload = false);
  void flushTouched();
  void sweep();
  // Ends the transfers whose redirect libcurl is done with.
  void collectCurlDone();

  // What the transfers ask of the loop.
  UpstreamPool& upstreams() override { return *pool; }
  RedirectFollower& redirects() override { return *follower; }
  void touch(ClientConnection& client) override;
  void finished(ClientConnection& client, CURLcode result, HttpClient::Response* whole) override;
  void close(ClientConnection& client) override;

  ProxyFrontEnd& owner;
  const int listenSocket;
  UniqueFd epoll;
  UniqueFd wake;
  std::unique_ptr<UpstreamPool> pool;
  std::unique_ptr<RedirectFollower> follower;
  // The listening socket is out of the epoll set while no descriptor is left for a connection.
  bool listenPaused = false;
  std::unordered_map<const ClientConnection*, std::unique_ptr<ClientConnection>> connections;
  // Connections whose output grew inside a callback, flushed once it returned.
  std::vector<ClientConnection*> touched;
  // Closed during the events at hand, freed after them: a later event may still name one.
  std::vector<std::unique_ptr<ClientConnection>> closed;
  std::atomic<bool> stopping{false};
  std::thread thread;
};
