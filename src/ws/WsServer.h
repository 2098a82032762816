#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <thread>

struct lws;
class BasicConnection;
class PlatformWorkers;
class ServiceWake;

// The WebSocket server on the loopback interface: one service thread runs every
// libwebsockets callback and keeps one connection object per open "camera-events"
// connection; the connections' platform calls that may wait run on a few worker threads
// beside it, started when needed. At most
// Limits::maxWsConnections WebSocket connections of either protocol are open at once; an upgrade beyond that
// is answered 503, and refusals are logged once per burst: the first one, then their number once none came
// for a while.
class WsServer {
public:
  WsServer();
  // Stops the server (see stop).
  ~WsServer();
  WsServer(const WsServer&) = delete;
  WsServer& operator=(const WsServer&) = delete;

  // Starts the service thread listening on `port` and waits (about 5 s at most) for it to
  // report. Returns true when the server listens. Called once.
  bool start(uint32_t port);

  // Stops and joins the service thread, which closes every connection, then releases the
  // connection objects. Nothing is done when it is not running.
  void stop();

  // One libwebsockets callback of the "camera-events" protocol, on the service thread.
  // Returns 0, or -1 to close the connection.
  int handleCallback(lws* wsi, int reason, void* in, std::size_t len);
  // One libwebsockets callback of the "http-only" protocol, which also sees every upgrade
  // request before a protocol is chosen. Returns what libwebsockets expects of it.
  int handleHttpOnlyCallback(lws* wsi, int reason);

  // The wake-up of the server that serves `wsi`. Service thread only.
  static std::shared_ptr<ServiceWake> serviceWakeOf(lws* wsi);
  // The threads that make the platform calls of the server that serves `wsi`. Service
  // thread only.
  static std::shared_ptr<PlatformWorkers> platformWorkersOf(lws* wsi);

private:
  struct RefusalBurst;

  static void serviceThread(WsServer* server);
  void wakeConnections();
  // Removes `wsi` from the open connections of both protocols.
  void forget(lws* wsi);
  // Answers an upgrade over the limit with 503 and counts it for the log.
  void refuse(lws* wsi);
  // Logs how many upgrades the burst that has just ended refused.
  void endRefusalBurst();

  uint32_t port = 0;
  std::atomic<bool> stopRequested{false};
  std::unique_ptr<std::thread> thread;
  std::atomic<bool> startReported{false};
  std::atomic<bool> startSucceeded{false};
  std::map<lws*, std::shared_ptr<BasicConnection>> connections;
  // Open "http-only" connections: they hold a descriptor like any other.
  std::set<lws*> httpOnlyConnections;
  std::unique_ptr<RefusalBurst> refusals;
  std::shared_ptr<ServiceWake> wake;
  std::shared_ptr<PlatformWorkers> workers;
};
