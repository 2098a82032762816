#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>

struct lws;
class BasicConnection;
class ServiceWake;

// The WebSocket server on the loopback interface: one service thread runs every
// libwebsockets callback and keeps one connection object per open "camera-events"
// connection.
class WsServer {
public:
  WsServer();
  // Stops and joins the service thread, then releases every connection.
  ~WsServer();
  WsServer(const WsServer&) = delete;
  WsServer& operator=(const WsServer&) = delete;

  // Starts the service thread listening on `port` and waits (about 5 s at most) for it to
  // report. Returns true when the server listens. Called once.
  bool start(uint32_t port);

  // One libwebsockets callback of the "camera-events" protocol, on the service thread.
  // Returns 0, or -1 to close the connection.
  int handleCallback(lws* wsi, int reason, void* in, std::size_t len);

  // The wake-up of the server that serves `wsi`. Service thread only.
  static std::shared_ptr<ServiceWake> serviceWakeOf(lws* wsi);

private:
  static void serviceThread(WsServer* server);
  void wakeConnections();

  uint32_t port = 0;
  std::atomic<bool> stopRequested{false};
  std::unique_ptr<std::thread> thread;
  std::atomic<bool> startReported{false};
  std::atomic<bool> startSucceeded{false};
  std::map<lws*, std::shared_ptr<BasicConnection>> connections;
  std::shared_ptr<ServiceWake> wake;
};
