#include "http/UpstreamConnections.h"

#include "util/Logger.h"

#include <mutex>

namespace UpstreamConnections {
namespace {

// Enough idle connections for every concurrent client of a busy package.
constexpr long maxCachedConnections = 128;

std::mutex dataMutexes[CURL_LOCK_DATA_LAST];

void lockData(CURL*, curl_lock_data data, curl_lock_access, void*)
{
  dataMutexes[data].lock();
}

void unlockData(CURL*, curl_lock_data data, void*)
{
  dataMutexes[data].unlock();
}

struct ShareDeleter {
  void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};

// Lives as long as the process: connection threads may still be proxying while static
// objects are destroyed, so the cache is never cleaned up.
CURLSH* sharedCache()
{
  static CURLSH* const share = []() -> CURLSH* {
    CURLSH* created = curl_share_init();
    if (created == nullptr) {
      Logger::log("Http API: no shared connection cache for the package proxy", LogLevel::Warning);
      return nullptr;
    }
    if (curl_share_setopt(created, CURLSHOPT_LOCKFUNC, lockData) != CURLSHE_OK ||
        curl_share_setopt(created, CURLSHOPT_UNLOCKFUNC, unlockData) != CURLSHE_OK ||
        curl_share_setopt(created, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK) {
      Logger::log("Http API: no shared connection cache for the package proxy", LogLevel::Warning);
      ShareDeleter()(created);
      return nullptr;
    }
    return created;
  }();
  return share;
}

} // namespace

void attach(CURL* handle)
{
  CURLSH* share = sharedCache();
  if (share == nullptr) {
    return;
  }
  curl_easy_setopt(handle, CURLOPT_SHARE, share);
  curl_easy_setopt(handle, CURLOPT_MAXCONNECTS, maxCachedConnections);
}

} // namespace UpstreamConnections
