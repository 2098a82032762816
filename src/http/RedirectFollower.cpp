#include "http/RedirectFollower.h"

#include "http/ProxyTransfer.h"
#include "http/RequestData.h"
#include "util/CHandle.h"
#include "util/Logger.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>

namespace {

// `location` resolved against the URL `base`;
// empty when either cannot be read.
std::string resolve(const std::string& base, const std::string& location)
{
  CHandle<CURLU, curl_url_cleanup> url(curl_url());
  char* resolved = nullptr;
  if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_URL, location.c_str(), 0) != CURLUE_OK ||
      curl_url_get(url.get(), CURLUPART_URL, &resolved, 0) != CURLUE_OK) {
    return "";
  }
  std::string text(resolved);
  curl_free(resolved);
  return text;
}

} // namespace

RedirectFollower::RedirectFollower(int epoll) : epoll(epoll) {}

bool RedirectFollower::start()
{
  multi.reset(curl_multi_init());
  if (!multi) {
    return false;
  }
  curl_multi_setopt(multi.get(), CURLMOPT_SOCKETFUNCTION, onSocket);
  curl_multi_setopt(multi.get(), CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi.get(), CURLMOPT_TIMERFUNCTION, onTimerChange);
  curl_multi_setopt(multi.get(), CURLMOPT_TIMERDATA, this);
  return true;
}

std::unique_ptr<HttpClient::Request> RedirectFollower::prepare(const std::string& from,
                                                               const RequestData& request,
                                                               const std::string& location, int status)
{
  // Only to HTTP: a package must not make this process read a local file or speak another
  // protocol for it.
  std::string target = resolve("http://" + from, location);
  if (target.rfind("http://", 0) != 0 && target.rfind("https://", 0) != 0) {
    return nullptr;
  }
  const bool post = request.method == "POST" && !request.body.empty() && (status == 307 || status == 308);
  return post ? HttpClient::preparePost(target, request.body, request.header("Content-Type"), "", 0)
              : HttpClient::prepareGet(target, "", 0);
}

bool RedirectFollower::add(ProxyTransfer& transfer, ClientConnection& client)
{
  CURL* handle = transfer.curlRequest->handle();
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_PRIVATE, &client);
  return curl_multi_add_handle(multi.get(), handle) == CURLM_OK;
}

void RedirectFollower::remove(CURL* handle)
{
  curl_multi_remove_handle(multi.get(), handle);
}

void RedirectFollower::onSocketEvent(uint64_t tag, uint32_t events)
{
  drive(static_cast<curl_socket_t>(tag & ~socketTag),
        ((events & EPOLLIN) != 0 ? CURL_CSELECT_IN : 0) | ((events & EPOLLOUT) != 0 ? CURL_CSELECT_OUT : 0) |
            ((events & (EPOLLERR | EPOLLHUP)) != 0 ? CURL_CSELECT_ERR : 0));
}

std::chrono::milliseconds RedirectFollower::wait(std::chrono::milliseconds longest) const
{
  if (!timerSet) {
    return longest;
  }
  return std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                    std::chrono::milliseconds(0), longest);
}

void RedirectFollower::onTimer()
{
  if (timerSet && Clock::now() >= deadline) {
    timerSet = false;
    drive(CURL_SOCKET_TIMEOUT, 0);
  }
}

void RedirectFollower::collectDone(const std::function<void(ClientConnection& client, CURLcode result)>& done)
{
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
    if (message->msg != CURLMSG_DONE) {
      continue;
    }
    ClientConnection* client = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &client);
    if (client != nullptr) {
      done(*client, message->data.result);
    }
  }
}

void RedirectFollower::drive(curl_socket_t socket, int actions)
{
  int running = 0;
  const CURLMcode code = curl_multi_socket_action(multi.get(), socket, actions, &running);
  if (code != CURLM_OK) {
    Logger::log(std::string("Curl multi error: ") + curl_multi_strerror(code), LogLevel::Warning);
  }
}

int RedirectFollower::onSocket(CURL*, curl_socket_t socket, int what, void* self, void* socketData)
{
  auto& follower = *static_cast<RedirectFollower*>(self);
  if (what == CURL_POLL_REMOVE) {
    epoll_ctl(follower.epoll, EPOLL_CTL_DEL, socket, nullptr);
    return 0;
  }
  epoll_event event{};
  event.events = ((what & CURL_POLL_IN) != 0 ? EPOLLIN : 0U) | ((what & CURL_POLL_OUT) != 0 ? EPOLLOUT : 0U);
  event.data.u64 = socketTag | static_cast<uint64_t>(socket);
  // libcurl keeps a mark per socket for us: set once the socket is in the epoll set.
  if (socketData != nullptr && epoll_ctl(follower.epoll, EPOLL_CTL_MOD, socket, &event) == 0) {
    return 0;
  }
  if (epoll_ctl(follower.epoll, EPOLL_CTL_ADD, socket, &event) == 0 ||
      (errno == EEXIST && epoll_ctl(follower.epoll, EPOLL_CTL_MOD, socket, &event) == 0)) {
    curl_multi_assign(follower.multi.get(), socket, &follower);
  }
  return 0;
}

int RedirectFollower::onTimerChange(CURLM*, long milliseconds, void* self)
{
  auto& follower = *static_cast<RedirectFollower*>(self);
  follower.timerSet = milliseconds >= 0;
  follower.deadline = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0L));
  return 0;
}

size_t RedirectFollower::onBody(char* data, size_t size, size_t count, void* transfer)
{
  return static_cast<ProxyTransfer*>(transfer)->takeCurlBody(data, size * count);
}
