#include "http/StreamedResponse.h"
#include "http/UpstreamHeadLines.h"

#include "http/HttpServer.h"
#include "http/WorkerPool.h"
#include "util/CHandle.h"
#include "util/Limits.h"
#include "util/Logger.h"

#include <algorithm>
#include <cstring>

namespace {

// What the server reads from the transfer at a time.
constexpr size_t readBlockBytes = 64 * 1024;
// The longest single wait, so that a transfer paused, ended elsewhere or timed out is noticed.
constexpr int maxWaitMilliseconds = 1000;

int millisecondsUntil(std::chrono::steady_clock::time_point deadline)
{
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
          .count();
  return static_cast<int>(std::clamp<long long>(left, 0, maxWaitMilliseconds));
}

} // namespace

StreamedResponse::StreamedResponse(std::unique_ptr<HttpClient::Request> request, long timeoutSeconds)
    : request(std::move(request)), multi(this->request->multi()), timeoutSeconds(timeoutSeconds),
      sink(&this->request->response().body), holdBound(Limits::maxEtagEntryBytes)
{
}

StreamedResponse::~StreamedResponse()
{
  if (added) {
    curl_multi_remove_handle(multi, request->handle());
  }
}

std::unique_ptr<StreamedResponse> StreamedResponse::start(std::unique_ptr<HttpClient::Request> request,
                                                          long timeoutSeconds)
{
  std::unique_ptr<StreamedResponse> transfer(new StreamedResponse(std::move(request), timeoutSeconds));
  CURL* handle = transfer->request->handle();
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, transfer.get());
  transfer->added = transfer->multi != nullptr && curl_multi_add_handle(transfer->multi, handle) == CURLM_OK;
  if (!transfer->added) {
    transfer->complete = true;
    transfer->result = CURLE_OUT_OF_MEMORY;
    return transfer;
  }
  // The body is held until it outgrows what the ETag cache may store of one answer; an
  // answer that ends before is then given whole, cached and replayed as any other. Nothing
  // else knows of the transfer yet, so its fields are read without the lock.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  while (!transfer->complete && !transfer->paused) {
    if (WorkerPool::stopping()) {
      transfer->complete = true;
      transfer->result = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    if (Clock::now() >= deadline) {
      if (transfer->held() > 0) {
        break; // a body arriving slowly is handed on as it comes
      }
      transfer->complete = true;
      transfer->result = CURLE_OPERATION_TIMEDOUT;
      break;
    }
    transfer->step();
    if (!transfer->complete && !transfer->paused) {
      transfer->wait(millisecondsUntil(deadline));
    }
  }
  transfer->holdBound = Limits::maxProxyHeldBytes;
  return transfer;
}

std::unique_ptr<HttpClient::Response> StreamedResponse::finish()
{
  if (added) {
    curl_multi_remove_handle(multi, request->handle());
    added = false;
  }
  return HttpClient::finish(std::move(request), result);
}

int32_t StreamedResponse::status() const
{
  long status = 0;
  curl_easy_getinfo(request->handle(), CURLINFO_RESPONSE_CODE, &status);
  return static_cast<int32_t>(status);
}

const HttpClient::Response& StreamedResponse::received() const
{
  return request->response();
}

void StreamedResponse::step()
{
  int running = 0;
  const CURLMcode code = curl_multi_perform(multi, &running);
  std::lock_guard<std::mutex> lock(mutex);
  if (code != CURLM_OK) {
    Logger::log(std::string("Curl multi error: ") + curl_multi_strerror(code), LogLevel::Warning);
    complete = true;
    result = CURLE_RECV_ERROR;
    return;
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg == CURLMSG_DONE) {
      complete = true;
      result = message->data.result;
    }
  }
}

void StreamedResponse::wait(int milliseconds)
{
  curl_multi_poll(multi, nullptr, 0, milliseconds, nullptr);
}

void StreamedResponse::wakeReader()
{
  if (readerWaiting) {
    readerWaiting = false;
    MHD_resume_connection(connection);
  }
}

void StreamedResponse::pump()
{
  for (;;) {
    bool resume = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (gone) {
        break;
      }
      if (readerWaiting && Clock::now() - waitingSince >= std::chrono::seconds(timeoutSeconds)) {
        // The upstream gets the whole time limit again for every piece the client waits for;
        // the time the client itself takes to read does not count.
        Logger::log("Curl error: " + std::to_string(CURLE_OPERATION_TIMEDOUT) +
                        " - the upstream stopped sending, the answer was cut short",
                    LogLevel::Warning);
        complete = true;
        result = CURLE_OPERATION_TIMEDOUT;
      } else if (WorkerPool::stopping()) {
        complete = true;
        result = CURLE_ABORTED_BY_CALLBACK;
      }
      if (complete) {
        wakeReader();
        break;
      }
      resume = paused && unpause;
      if (resume) {
        paused = false;
        unpause = false;
      }
    }
    if (resume) {
      // libcurl hands over the piece it kept back from inside this call.
      curl_easy_pause(request->handle(), CURLPAUSE_CONT);
    }
    step();
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (complete || held() > 0) {
        wakeReader();
      }
      if (complete) {
        continue; // noticed at the top
      }
    }
    wait(maxWaitMilliseconds);
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    pumpEnded = true;
  }
  curl_multi_remove_handle(multi, request->handle());
  added = false;
  // The thread's handles are free again for its next request; the body left stays.
  request.reset();
}

ssize_t StreamedResponse::read(char* buffer, size_t max)
{
  std::lock_guard<std::mutex> lock(mutex);
  if (held() == 0) {
    if (!complete) {
      // Called again once the worker resumes the connection: more arrived or the end.
      readerWaiting = true;
      waitingSince = Clock::now();
      MHD_suspend_connection(connection);
      return 0;
    }
    if (result == CURLE_OK) {
      return MHD_CONTENT_READER_END_OF_STREAM;
    }
    if (result != CURLE_OPERATION_TIMEDOUT) {
      Logger::log("Curl error: " + std::to_string(result) + " - " + curl_easy_strerror(result) +
                      ", the answer was cut short",
                  LogLevel::Warning);
    }
    return MHD_CONTENT_READER_END_WITH_ERROR;
  }
  const size_t count = std::min(max, held());
  std::memcpy(buffer, sink->data() + sent, count);
  sent += count;
  if (sent == sink->size()) {
    sink->clear();
    sent = 0;
    // The first piece may have been as large as a cache entry; later ones stay small.
    if (sink->capacity() > 2 * Limits::maxProxyHeldBytes) {
      sink->shrink_to_fit();
    }
  } else if (sent >= holdBound) {
    // The worker appends while the client reads: what was sent goes, or the buffer would grow.
    sink->erase(0, sent);
    sent = 0;
  }
  if (paused && !unpause && held() <= holdBound && !pumpEnded) {
    unpause = true;
    curl_multi_wakeup(multi);
  }
  return static_cast<ssize_t>(count);
}

size_t StreamedResponse::onBody(char* data, size_t size, size_t count, void* self)
{
  auto& transfer = *static_cast<StreamedResponse*>(self);
  try {
    std::lock_guard<std::mutex> lock(transfer.mutex);
    if (transfer.held() > transfer.holdBound) {
      transfer.paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    transfer.sink->append(data, size * count);
    return size * count;
  } catch (...) {
    return 0;
  }
}

ssize_t StreamedResponse::onRead(void* self, uint64_t, char* buffer, size_t max)
{
  try {
    return (*static_cast<std::shared_ptr<StreamedResponse>*>(self))->read(buffer, max);
  } catch (...) {
    return MHD_CONTENT_READER_END_WITH_ERROR;
  }
}

void StreamedResponse::onFree(void* self)
{
  auto* owner = static_cast<std::shared_ptr<StreamedResponse>*>(self);
  {
    StreamedResponse& transfer = **owner;
    std::lock_guard<std::mutex> lock(transfer.mutex);
    transfer.gone = true;
    if (!transfer.pumpEnded) {
      curl_multi_wakeup(transfer.multi);
    }
  }
  delete owner;
}

MHD_Result StreamedResponse::queue(MHD_Connection* connection, std::unique_ptr<StreamedResponse> transfer,
                                   unsigned code, const std::vector<std::string>& headerLines)
{
  // No Accept-Encoding is ever sent, so libcurl hands the body on in the encoding it came
  // in, and the upstream's length (unknown when it came chunked) is the client's.
  const UpstreamHead head = readUpstreamHead(headerLines);
  const uint64_t size = head.bodyLength >= 0 ? static_cast<uint64_t>(head.bodyLength) : MHD_SIZE_UNKNOWN;
  std::shared_ptr<StreamedResponse> shared(std::move(transfer));
  {
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->streamed = std::move(*shared->sink);
    shared->sink = &shared->streamed;
    shared->connection = connection;
  }
  if (!HttpServer::afterAnswer(connection, [shared]() { shared->pump(); })) {
    Logger::log("HttpServer: a streamed answer needs a worker", LogLevel::Error);
    return MHD_NO;
  }
  auto* owner = new std::shared_ptr<StreamedResponse>(shared);
  CHandle<MHD_Response, MHD_destroy_response> response(
      MHD_create_response_from_callback(size, readBlockBytes, onRead, owner, onFree));
  if (!response) {
    onFree(owner); // the worker drops the transfer
    Logger::log("HttpServer: cannot create a response", LogLevel::Error);
    return MHD_NO;
  }
  for (const auto& header : head.headers) {
    MHD_add_response_header(response.get(), header.first.c_str(), header.second.c_str());
  }
  return HttpServer::queueResponse(connection, code, response.release());
}
