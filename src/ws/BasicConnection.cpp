#include "ws/BasicConnection.h"

#include "util/Limits.h"
#include "util/Logger.h"
#include "ws/ServiceWake.h"
#include "ws/WsServer.h"

#include <libwebsockets.h>

#include <cstring>

namespace {
thread_local bool onServiceThread = false;

// A message as it waits in the queue: behind the room libwebsockets writes its frame header
// into, so that it is written from where it lies.
std::string framed(const std::string& message)
{
  std::string out;
  out.reserve(LWS_PRE + message.size());
  out.assign(LWS_PRE, '\0');
  out += message;
  return out;
}
} // namespace

BasicConnection::BasicConnection(lws* handle) : wsi(handle)
{
  if (wsi != nullptr)
    serviceWake = WsServer::serviceWakeOf(wsi);
}

BasicConnection::~BasicConnection() = default;

void BasicConnection::markServiceThread()
{
  onServiceThread = true;
}

void BasicConnection::onReceive(std::string fragment, bool binary, bool final)
{
  if (rejected)
    return;
  if (receiveBuffer.size() + fragment.size() > maxMessageSize) {
    // Refuse before appending, so a peer that never ends its message cannot make us hold
    // more than the limit.
    rejected = true;
    std::string().swap(receiveBuffer);
    Logger::log("WsServer - incoming message larger than " + std::to_string(maxMessageSize) +
                    " bytes, closing the connection",
                LogLevel::Error);
    return;
  }
  std::string message;
  if (receiveBuffer.empty()) {
    // The usual case, a message in one fragment, takes no copy.
    if (!final) {
      receiveBuffer = std::move(fragment);
      return;
    }
    message = std::move(fragment);
  } else {
    receiveBuffer += fragment;
    if (!final)
      return;
    message.swap(receiveBuffer);
  }
  if (binary)
    onBinaryMessage(message);
  else
    onMessage(message);
  pauseReadingIfFull();
}

void BasicConnection::pauseReadingIfFull()
{
  // Answers are made only for messages read (declaration completions aside, which the
  // declaration limit bounds), so checking here bounds the queue to the limit plus the
  // answers of the requests in progress.
  std::lock_guard<std::mutex> lock(queueMutex);
  if (paused ||
      (queuedBytes < Limits::maxWsOutgoingBytes && outgoingQueue.size() < Limits::maxWsOutgoingMessages &&
       requestsInProgress < Limits::maxWsRequestsInProgress &&
       requestBytesInProgress < Limits::maxWsRequestBytesInProgress))
    return;
  paused = true;
  if (wsi == nullptr)
    return;
  lws_rx_flow_control(wsi, 0);
  // The requests may all have been answered between the check and the flag; one more
  // writable callback looks again.
  lws_callback_on_writable(wsi);
}

void BasicConnection::resumeReadingIfDrained()
{
  // Resuming at half rather than just below the limit spares a pause for every answer.
  if (paused && queuedBytes <= Limits::maxWsOutgoingBytes / 2 &&
      outgoingQueue.size() <= Limits::maxWsOutgoingMessages / 2 &&
      requestsInProgress <= Limits::maxWsRequestsInProgress / 2 &&
      requestBytesInProgress <= Limits::maxWsRequestBytesInProgress / 2) {
    paused = false;
    lws_rx_flow_control(wsi, 1);
  }
}

void BasicConnection::requestStarted(std::size_t bytes)
{
  ++requestsInProgress;
  requestBytesInProgress += bytes;
}

void BasicConnection::requestFinished(std::size_t bytes)
{
  requestBytesInProgress -= bytes;
  --requestsInProgress;
  if (paused && wsi != nullptr) {
    std::lock_guard<std::mutex> lock(queueMutex);
    requestWritable();
  }
}

void BasicConnection::send(const std::string& message)
{
  if (active)
    enqueue(message);
}

void BasicConnection::enqueue(const std::string& message)
{
  if (message.empty())
    return;
  std::string entry = framed(message);
  {
    std::lock_guard<std::mutex> lock(queueMutex);
    outgoingQueue.push_back(std::move(entry));
    queuedBytes += message.size();
  }
  // Outside the lock: waking the service is a system call, and the service thread takes
  // the lock for every message it reads and writes. The message is in the queue before
  // the request, so the writable callback that follows finds it.
  requestWritable();
}

void BasicConnection::enqueueAndClose(const std::string& message)
{
  // Under the lock, so that no writable callback sees the flag without the message.
  std::lock_guard<std::mutex> lock(queueMutex);
  if (!message.empty()) {
    outgoingQueue.push_back(framed(message));
    queuedBytes += message.size();
  }
  closeAfterWrite = true;
  requestWritable();
}

void BasicConnection::requestWritable()
{
  if (wsi == nullptr)
    return;
  if (onServiceThread) {
    lws_callback_on_writable(wsi);
    return;
  }
  // libwebsockets only accepts the writable request on its own thread: flag it and wake
  // the service, which asks for it in flushWakeRequest. A connection already flagged is
  // already on the service's list.
  if (!wakeRequested.exchange(true) && serviceWake)
    serviceWake->wake(wsi);
}

void BasicConnection::flushWakeRequest()
{
  if (wakeRequested.exchange(false) && wsi != nullptr)
    lws_callback_on_writable(wsi);
}

bool BasicConnection::onWritable()
{
  std::lock_guard<std::mutex> lock(queueMutex);
  if (wsi == nullptr)
    return !closeAfterWrite;
  if (!outgoingQueue.empty()) {
    std::string& entry = outgoingQueue.front();
    const std::size_t size = entry.size() - LWS_PRE;
    const int written =
        lws_write(wsi, reinterpret_cast<unsigned char*>(&entry[LWS_PRE]), size, LWS_WRITE_TEXT);
    queuedBytes -= size;
    outgoingQueue.pop_front();
    // Another round only for what is left: an empty one costs a poll and a callback, and
    // what is queued later asks for its own.
    if (!outgoingQueue.empty() || closeAfterWrite)
      lws_callback_on_writable(wsi);
    resumeReadingIfDrained();
    if (written < 0) {
      Logger::log("WsServer - cannot write to the connection, closing it", LogLevel::Error);
      return false;
    }
  } else {
    resumeReadingIfDrained();
  }
  return !closeAfterWrite;
}

std::vector<std::string> BasicConnection::queuedMessages()
{
  std::lock_guard<std::mutex> lock(queueMutex);
  std::vector<std::string> messages;
  messages.reserve(outgoingQueue.size());
  for (const std::string& entry : outgoingQueue)
    messages.push_back(entry.substr(LWS_PRE));
  return messages;
}
