#pragma once

#include "camera/HttpClient.h"

#include <curl/curl.h>
#include <microhttpd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// An upstream answer taken as it arrives, so that a body of any size costs a bounded buffer.
// The transfer runs on the worker that handles the request: first until the answer is
// complete, its body has outgrown one ETag cache entry, or the time limit has passed; an
// answer complete by then is given whole, as `HttpClient::get` gives it. A larger one is
// sent to the client while it arrives, the upstream held back whenever the client is behind
// by Limits::maxProxyHeldBytes. The worker keeps driving the transfer after the answer is
// queued; the server's thread only takes what has arrived, suspending the connection while
// nothing has, so that a slow upstream never holds up the other connections.
class StreamedResponse {
public:
  StreamedResponse(const StreamedResponse&) = delete;
  StreamedResponse& operator=(const StreamedResponse&) = delete;
  ~StreamedResponse();

  // Starts `request` (made without a time limit of its own) and runs it as described above,
  // giving up after `timeoutSeconds` when no body has begun by then.
  static std::unique_ptr<StreamedResponse> start(std::unique_ptr<HttpClient::Request> request,
                                                 long timeoutSeconds);

  // True when the transfer ended, successfully or not, before any of the body was sent.
  bool isComplete() const { return complete; }

  // The whole answer of a complete transfer, ended by `HttpClient::finish`; the object is
  // spent afterwards.
  std::unique_ptr<HttpClient::Response> finish();

  // The status and header lines of an answer still arriving, and the start of its body.
  int32_t status() const;
  const HttpClient::Response& received() const;

  // Queues the rest of the answer on `connection` with `code` and the headers of
  // `headerLines` (as `HttpServer::sendWithHeaders` adds them), and leaves the transfer to
  // the worker for after the answer (see HttpServer::afterAnswer); MHD_NO when not called
  // from a handler on a worker. A failure of the upstream midway, or the server stopping,
  // ends the client's answer early.
  static MHD_Result queue(MHD_Connection* connection, std::unique_ptr<StreamedResponse> transfer,
                          unsigned code, const std::vector<std::string>& headerLines);

private:
  using Clock = std::chrono::steady_clock;

  StreamedResponse(std::unique_ptr<HttpClient::Request> request, long timeoutSeconds);

  // Callers hold `mutex`.
  size_t held() const { return sink->size() - sent; }
  // Runs what the transfer has ready; notes its end.
  void step();
  // Waits up to `milliseconds` for the upstream to have more.
  void wait(int milliseconds);
  // Drives the transfer until it ends or the client is gone.
  void pump();
  // Lets the server's thread call the reader again, when it waits.
  void wakeReader();
  ssize_t read(char* buffer, size_t max);

  static size_t onBody(char* data, size_t size, size_t count, void* self);
  static ssize_t onRead(void* self, uint64_t position, char* buffer, size_t max);
  static void onFree(void* self);

  std::unique_ptr<HttpClient::Request> request;
  // The request's: a thread's transfers all run on one multi handle, whose connection cache
  // keeps the upstream's keep-alive connection for the thread's next transfer.
  CURLM* const multi;
  bool added = false;
  const long timeoutSeconds;

  // Shared by the worker driving the transfer and the server's thread reading the body.
  std::mutex mutex;
  // The body arriving: the request's until the answer is queued, then `streamed`, which
  // outlives the transfer. Held from `sent` on; above `holdBound` bytes the transfer pauses.
  std::string* sink;
  std::string streamed;
  size_t sent = 0;
  size_t holdBound;
  bool paused = false;
  // Asked by the reader once the client took enough of a paused transfer's body.
  bool unpause = false;
  bool complete = false;
  CURLcode result = CURLE_OK;
  MHD_Connection* connection = nullptr;
  // The reader found nothing and suspended the connection, at `waitingSince`.
  bool readerWaiting = false;
  Clock::time_point waitingSince;
  // The response was freed: nobody reads any more.
  bool gone = false;
  // The transfer is over and the request released: `multi` may not be woken.
  bool pumpEnded = false;
};
