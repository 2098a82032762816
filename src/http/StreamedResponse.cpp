#include "http/StreamedResponse.h"

#include "http/HttpServer.h"
#include "util/Limits.h"
#include "util/Logger.h"

#include <algorithm>
#include <cstring>

namespace {

// What the server reads from the transfer at a time.
constexpr size_t readBlockBytes = 64 * 1024;
// The longest single wait, so that a transfer paused or ended elsewhere is noticed.
constexpr int maxWaitMilliseconds = 1000;

struct ResponseDestroyer {
  void operator()(MHD_Response* response) const { MHD_destroy_response(response); }
};

int millisecondsUntil(std::chrono::steady_clock::time_point deadline)
{
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
          .count();
  return static_cast<int>(std::clamp<long long>(left, 0, maxWaitMilliseconds));
}

} // namespace

StreamedResponse::StreamedResponse(std::unique_ptr<HttpManager::Request> request, long timeoutSeconds)
    : request(std::move(request)), multi(this->request->multi()), timeoutSeconds(timeoutSeconds),
      holdBound(Limits::maxEtagEntryBytes)
{
}

StreamedResponse::~StreamedResponse()
{
  if (added) {
    curl_multi_remove_handle(multi, request->handle());
  }
}

std::unique_ptr<StreamedResponse> StreamedResponse::start(std::unique_ptr<HttpManager::Request> request,
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
  // answer that ends before is then given whole, cached and replayed as any other.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  while (!transfer->complete && !transfer->paused) {
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

std::unique_ptr<HttpManager::Response> StreamedResponse::finish()
{
  if (added) {
    curl_multi_remove_handle(multi, request->handle());
    added = false;
  }
  return HttpManager::finish(std::move(request), result);
}

int32_t StreamedResponse::status() const
{
  long status = 0;
  curl_easy_getinfo(request->handle(), CURLINFO_RESPONSE_CODE, &status);
  return static_cast<int32_t>(status);
}

const HttpManager::Response& StreamedResponse::received() const
{
  return request->response();
}

void StreamedResponse::step()
{
  int running = 0;
  const CURLMcode code = curl_multi_perform(multi, &running);
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

ssize_t StreamedResponse::read(char* buffer, size_t max)
{
  // The upstream gets the whole time limit again for every piece the client waits for; the
  // time the client itself took to read does not count.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  while (held() == 0) {
    if (complete) {
      if (result == CURLE_OK) {
        return MHD_CONTENT_READER_END_OF_STREAM;
      }
      Logger::log("Curl error: " + std::to_string(result) + " - " + curl_easy_strerror(result) +
                      ", the answer was cut short",
                  LogLevel::Warning);
      return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    if (paused) {
      // libcurl hands over the piece it kept back from inside this call.
      paused = false;
      curl_easy_pause(request->handle(), CURLPAUSE_CONT);
      continue;
    }
    if (Clock::now() >= deadline) {
      Logger::log("Curl error: " + std::to_string(CURLE_OPERATION_TIMEDOUT) +
                      " - the upstream stopped sending, the answer was cut short",
                  LogLevel::Warning);
      return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    step();
    if (held() == 0 && !complete && !paused) {
      wait(millisecondsUntil(deadline));
    }
  }
  std::string& body = request->response().body;
  const size_t count = std::min(max, held());
  std::memcpy(buffer, body.data() + sent, count);
  sent += count;
  if (sent == body.size()) {
    body.clear();
    sent = 0;
    // The first piece may have been as large as a cache entry; later ones stay small.
    if (body.capacity() > 2 * Limits::maxProxyHeldBytes) {
      body.shrink_to_fit();
    }
  }
  return static_cast<ssize_t>(count);
}

size_t StreamedResponse::onBody(char* data, size_t size, size_t count, void* self)
{
  auto& transfer = *static_cast<StreamedResponse*>(self);
  try {
    if (transfer.held() > transfer.holdBound) {
      transfer.paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    transfer.request->response().body.append(data, size * count);
    return size * count;
  } catch (...) {
    return 0;
  }
}

ssize_t StreamedResponse::onRead(void* self, uint64_t, char* buffer, size_t max)
{
  try {
    return static_cast<StreamedResponse*>(self)->read(buffer, max);
  } catch (...) {
    return MHD_CONTENT_READER_END_WITH_ERROR;
  }
}

void StreamedResponse::onFree(void* self)
{
  delete static_cast<StreamedResponse*>(self);
}

MHD_Result StreamedResponse::queue(MHD_Connection* connection, std::unique_ptr<StreamedResponse> transfer,
                                   unsigned code, const std::vector<std::string>& headerLines)
{
  // No Accept-Encoding is ever sent, so libcurl hands the body on in the encoding it came
  // in, and the upstream's length (unknown when it came chunked) is the client's.
  curl_off_t length = -1;
  curl_easy_getinfo(transfer->request->handle(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  const uint64_t size = length >= 0 ? static_cast<uint64_t>(length) : MHD_SIZE_UNKNOWN;
  std::unique_ptr<MHD_Response, ResponseDestroyer> response(
      MHD_create_response_from_callback(size, readBlockBytes, onRead, transfer.get(), onFree));
  if (!response) {
    Logger::log("HttpServer: cannot create a response", LogLevel::Error);
    return MHD_NO;
  }
  transfer.release(); // freed by the response, through onFree
  for (const auto& header : HttpServer::headersFromLines(headerLines)) {
    MHD_add_response_header(response.get(), header.first.c_str(), header.second.c_str());
  }
  return MHD_queue_response(connection, code, response.get());
}
