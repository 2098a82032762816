// Throughput of the outgoing HTTP client against a loopback server: plain requests, ETag
// replays (304 answered from the cache), a large body, and several threads at once, as
// the proxy endpoints use it. Prints figures; asserts nothing about time.
#include "camera/HttpClient.h"

#include <microhttpd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string smallBody(1024, 's');
const std::string bigBody(1024 * 1024, 'b');

MHD_Result answer(void*, MHD_Connection* connection, const char* url, const char*, const char*, const char*,
                  size_t*, void** state)
{
  if (*state == nullptr) {
    *state = connection;
    return MHD_YES;
  }
  const std::string path = url;
  const std::string& body = path == "/big" ? bigBody : smallBody;
  unsigned status = MHD_HTTP_OK;
  if (path == "/tagged") {
    const char* match =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_IF_NONE_MATCH);
    if (match && std::strcmp(match, "\"v1\"") == 0) {
      status = MHD_HTTP_NOT_MODIFIED;
    }
  }
  MHD_Response* response = status == MHD_HTTP_NOT_MODIFIED
                               ? MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT)
                               : MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                                 MHD_RESPMEM_PERSISTENT);
  if (path == "/tagged") {
    MHD_add_response_header(response, MHD_HTTP_HEADER_ETAG, "\"v1\"");
  }
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

template <typename Work> double secondsOf(Work work)
{
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char* what, int requests, double seconds, size_t bytesEach = 0)
{
  std::printf("%-34s %6d requests %8.3f s %9.0f req/s %8.3f ms/req", what, requests, seconds,
              requests / seconds, seconds * 1000 / requests);
  if (bytesEach) {
    std::printf(" %8.1f MiB/s", static_cast<double>(bytesEach) * requests / seconds / (1024 * 1024));
  }
  std::printf("\n");
}

} // namespace

int main()
{
  MHD_Daemon* daemon = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION, 0,
                                        nullptr, nullptr, answer, nullptr, MHD_OPTION_END);
  if (!daemon) {
    std::fprintf(stderr, "cannot start the loopback server\n");
    return 1;
  }
  const std::string base =
      "http://127.0.0.1:" + std::to_string(MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT)->port);
  int failures = 0;
  auto fetch = [&](const std::string& path, size_t expectedSize) {
    auto response = HttpClient::get(base + path, "", 10);
    failures += response->statusCode != 200 || response->body.size() != expectedSize;
  };

  const int sequential = 500;
  report("GET 1 KiB", sequential, secondsOf([&] {
           for (int i = 0; i < sequential; ++i) {
             fetch("/small", smallBody.size());
           }
         }));
  fetch("/tagged", smallBody.size());
  report("GET 1 KiB replayed after 304", sequential, secondsOf([&] {
           for (int i = 0; i < sequential; ++i) {
             fetch("/tagged", smallBody.size());
           }
         }));
  const int large = 50;
  report("GET 1 MiB", large, secondsOf([&] {
           for (int i = 0; i < large; ++i) {
             fetch("/big", bigBody.size());
           }
         }),
         bigBody.size());
  const int threads = 4;
  report("GET 1 KiB, 4 threads", threads * sequential / 2, secondsOf([&] {
           std::vector<std::thread> workers;
           for (int t = 0; t < threads; ++t) {
             workers.emplace_back([&] {
               for (int i = 0; i < sequential / 2; ++i) {
                 fetch(i % 2 ? "/tagged" : "/small", smallBody.size());
               }
             });
           }
           for (auto& worker : workers) {
             worker.join();
           }
         }));
  MHD_stop_daemon(daemon);
  std::printf("failed requests: %d\n", failures);
  return failures == 0 ? 0 : 1;
}
