#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct lws;
class ServiceWake;

// One open WebSocket connection: assembles incoming fragments into whole messages for the
// derived class and writes outgoing messages, one per writable callback, from a queue
// that any thread may fill. Everything but send and enqueue runs on the service thread.
// A client that does not read its answers is not read either: once the queue holds
// Limits::maxWsOutgoingBytes or Limits::maxWsOutgoingMessages after a message was handled,
// reading pauses until the queue is down to half of both. Requests that the derived class
// hands to other threads count too: reading pauses at Limits::maxWsRequestsInProgress or
// Limits::maxWsRequestBytesInProgress of them and resumes at half.
class BasicConnection {
public:
  // Largest assembled incoming message; a longer one ends the connection.
  static constexpr std::size_t maxMessageSize = 1024 * 1024;

  // `wsi` is not owned. A connection made on the service thread finds the server's wake-up
  // through its handle; with a null handle messages are only queued (never written).
  explicit BasicConnection(lws* wsi);
  BasicConnection(const BasicConnection&) = delete;
  BasicConnection& operator=(const BasicConnection&) = delete;

  // Writes the oldest queued message, if any, as one text message. Returns false when the
  // connection is to be closed now.
  virtual bool onWritable();
  // Appends a fragment; after the final one hands the whole message to onMessage or
  // onBinaryMessage (by `binary`, as reported with the final fragment).
  virtual void onReceive(std::string fragment, bool binary, bool final);
  // Queues `message` while the connection is active; drops it otherwise. Any thread.
  virtual void send(const std::string& message);
  // Queues `message` (an empty one is dropped) and has it written within a service round.
  // Any thread.
  virtual void enqueue(const std::string& message);
  // Queues `message` and has the connection closed once the message at the head of the
  // queue has been written. Any thread.
  void enqueueAndClose(const std::string& message);
  virtual void onMessage(const std::string& message) = 0;
  virtual void onBinaryMessage(const std::string& message) = 0;

  // Service thread, after a wake-up: asks for the writable callback that a message queued
  // from another thread is waiting for.
  void flushWakeRequest();
  // True once an incoming message grew beyond maxMessageSize; the connection must close.
  bool receiveRejected() const { return rejected; }
  // A copy of the messages waiting to be written, oldest first.
  std::vector<std::string> queuedMessages();

  // Marks the calling thread as the one that runs the WebSocket service.
  static void markServiceThread();

protected:
  // Connections are owned and destroyed only through a shared pointer of the derived type.
  ~BasicConnection();

  // A request of `bytes` is handed to another thread (service thread) / has been answered
  // (any thread).
  void requestStarted(std::size_t bytes);
  void requestFinished(std::size_t bytes);
  // Requests handed to other threads and not yet answered.
  std::size_t requestsPending() const { return requestsInProgress; }

  std::atomic<bool> active{false};
  std::atomic<bool> closeAfterWrite{false};
  lws* wsi;

private:
  // Service thread: pauses reading when the queue or the requests in progress are full.
  void pauseReadingIfFull();
  // Service thread, with queueMutex held: resumes reading once both are down to half.
  void resumeReadingIfDrained();
  // Asks for a writable callback from any thread.
  void requestWritable();

  std::string receiveBuffer;
  bool rejected = false;
  std::atomic<bool> paused{false};
  std::atomic<std::size_t> requestsInProgress{0};
  std::atomic<std::size_t> requestBytesInProgress{0};
  std::mutex queueMutex;
  std::deque<std::string> outgoingQueue; // each behind LWS_PRE bytes of room

  std::size_t queuedBytes = 0;
  std::atomic<bool> wakeRequested{false};
  std::shared_ptr<ServiceWake> serviceWake;
};
