#include "camera/HttpClient.h"

#include "util/CHandle.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "util/StringUtils.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace {

struct CacheEntry {
  std::string etag;
  HttpClient::Response response;
  uint32_t storedAt = 0;
  // What the entry costs the cache, its key included.
  size_t bytes = 0;
};
using SharedEntry = std::shared_ptr<const CacheEntry>;

// Shared by every thread that makes requests. Entries are shared, never changed, so that a
// request holds the one it named without copying its body.
std::mutex cacheMutex;
std::map<std::string, SharedEntry> etagCache;
size_t etagCacheBytes = 0;

constexpr size_t maxCacheEntries = 5;
constexpr size_t maxLoggedBodyLength = 1000;

using CurlHandle = CHandle<CURL, curl_easy_cleanup>;
using CurlMulti = CHandle<CURLM, curl_multi_cleanup>;

// A thread's own handles, lent to one request at a time. An easy handle keeps the private
// multi handle curl_easy_perform builds for it (a socket pair and a connection cache), and
// a multi handle keeps its wake-up socket pair and connections: making both once per thread
// instead of once per request saves dozens of system calls on every proxied request.
// Shared, because a request may end on another thread than the one that began it; the
// thread then takes a fresh one for its next request if this one is still out.
struct ThreadHandles {
  // Destroyed in this order: the multi handle first, while no easy handle is in it.
  CurlHandle easy;
  CurlMulti multi;
  std::atomic<bool> lent{false};
};

// One of the calling thread's handles, marked lent; nullptr while all of them are lent
// elsewhere or when libcurl cannot give a handle. A thread that runs many transfers at once
// (an event loop) keeps up to Limits::maxThreadCurlHandles of them.
std::shared_ptr<ThreadHandles> borrowThreadHandles()
{
  thread_local std::vector<std::shared_ptr<ThreadHandles>> own;
  for (const auto& handles : own) {
    if (!handles->lent.exchange(true, std::memory_order_acquire)) {
      return handles;
    }
  }
  if (own.size() >= Limits::maxThreadCurlHandles) {
    return nullptr;
  }
  auto handles = std::make_shared<ThreadHandles>();
  handles->easy.reset(curl_easy_init());
  if (!handles->easy) {
    return nullptr;
  }
  handles->lent.store(true, std::memory_order_relaxed);
  own.push_back(handles);
  return handles;
}

using CurlList = CHandle<curl_slist, curl_slist_free_all>;

// Appends one line to the list; false when libcurl could not allocate.
bool appendHeader(CurlList& list, const std::string& line)
{
  curl_slist* extended = curl_slist_append(list.get(), line.c_str());
  if (!extended) {
    return false;
  }
  list.release();
  list.reset(extended);
  return true;
}

// libcurl callbacks must not let an exception through: a failed append aborts the transfer.
size_t onHeaderLine(char* data, size_t size, size_t count, void* userData)
{
  try {
    static_cast<std::vector<std::string>*>(userData)->emplace_back(data, size * count);
    return size * count;
  } catch (...) {
    return 0;
  }
}

size_t onBodyChunk(char* data, size_t size, size_t count, void* userData)
{
  try {
    static_cast<std::string*>(userData)->append(data, size * count);
    return size * count;
  } catch (...) {
    return 0;
  }
}

// The entity tag of the first two double quotes after "ETag" in the line, if any.
std::optional<std::string> etagOfLine(const std::string& line)
{
  size_t position = line.find("ETag");
  if (position == std::string::npos) {
    return std::nullopt;
  }
  size_t open = line.find('"', position);
  if (open == std::string::npos) {
    return std::nullopt;
  }
  size_t close = line.find('"', open + 1);
  if (close == std::string::npos) {
    return std::nullopt;
  }
  return line.substr(open + 1, close - open - 1);
}

// The URL with the password of embedded credentials masked, for log lines: the system log
// outlives the request and is readable by more people than the credentials are meant for.
std::string withoutPassword(const std::string& url)
{
  size_t scheme = url.find("://");
  size_t authorityStart = scheme == std::string::npos ? 0 : scheme + 3;
  size_t authorityEnd = url.find_first_of("/?#", authorityStart);
  size_t at = url.rfind('@', authorityEnd == std::string::npos ? std::string::npos : authorityEnd);
  if (at == std::string::npos || at < authorityStart) {
    return url;
  }
  size_t colon = url.find(':', authorityStart);
  if (colon == std::string::npos || colon > at) {
    return url;
  }
  return url.substr(0, colon + 1) + "***" + url.substr(at);
}

SharedEntry findCacheEntry(const std::string& url)
{
  std::lock_guard<std::mutex> lock(cacheMutex);
  auto found = etagCache.find(url);
  return found == etagCache.end() ? nullptr : found->second;
}

void eraseLocked(std::map<std::string, SharedEntry>::iterator entry)
{
  etagCacheBytes -= entry->second->bytes;
  etagCache.erase(entry);
}

void trimCacheLocked(size_t maxCount, size_t maxBytes)
{
  while (!etagCache.empty() && (etagCache.size() > maxCount || etagCacheBytes > maxBytes)) {
    auto oldest = etagCache.begin();
    for (auto entry = etagCache.begin(); entry != etagCache.end(); ++entry) {
      if (entry->second->storedAt < oldest->second->storedAt) {
        oldest = entry;
      }
    }
    eraseLocked(oldest);
  }
}

size_t entryBytes(const std::string& url, const std::string& etag, const HttpClient::Response& response)
{
  size_t bytes = url.size() + etag.size() + response.body.size();
  for (const std::string& line : response.headers) {
    bytes += line.size();
  }
  return bytes;
}

void storeIfTagged(const std::string& url, const HttpClient::Response& response)
{
  std::optional<std::string> etag;
  for (const std::string& line : response.headers) {
    if (auto lineTag = etagOfLine(line)) {
      etag = lineTag;
    }
  }
  if (!etag) {
    return;
  }
  // A larger response is not stored, and an entry already stored for the URL stays: a 304
  // to its tag still confirms exactly the entity it holds.
  const size_t bytes = entryBytes(url, *etag, response);
  if (bytes > Limits::maxEtagEntryBytes) {
    return;
  }
  auto entry = std::make_shared<const CacheEntry>(
      CacheEntry{*etag, response, static_cast<uint32_t>(std::time(nullptr)), bytes});
  std::lock_guard<std::mutex> lock(cacheMutex);
  auto stored = etagCache.find(url);
  if (stored != etagCache.end()) {
    eraseLocked(stored);
  }
  etagCache.emplace(url, std::move(entry));
  etagCacheBytes += bytes;
  trimCacheLocked(maxCacheEntries, Limits::maxEtagCacheBytes);
}

} // namespace

// Everything the handle's options point at lives here, so it lives as long as the handle.
struct HttpClient::Request::State {
  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State()
  {
    if (borrowed) {
      // Every option goes back to its default (nothing points into this request any more);
      // connections, caches and the private multi handle stay for the next request.
      curl_easy_reset(borrowed->easy.get());
      borrowed->lent.store(false, std::memory_order_release);
    }
  }

  // The thread's handles while this request has them; otherwise its own.
  std::shared_ptr<ThreadHandles> borrowed;
  CurlHandle ownHandle;
  CurlMulti ownMulti;
  CURL* handle = nullptr;
  CurlList headerList;
  std::string url;
  std::string body;
  std::string certificates;
  // The entry named in If-None-Match: a 304 confirms that one, whatever the cache holds by then.
  SharedEntry sentEntry;
  std::unique_ptr<Response> response = std::make_unique<Response>();
  char errorBuffer[CURL_ERROR_SIZE] = {0};
};

HttpClient::Request::Request(std::unique_ptr<State> state) : state(std::move(state)) {}

HttpClient::Request::~Request() = default;

CURL* HttpClient::Request::handle() const
{
  return state->handle;
}

CURLM* HttpClient::Request::multi()
{
  CurlMulti& multi = state->borrowed ? state->borrowed->multi : state->ownMulti;
  if (!multi) {
    multi.reset(curl_multi_init());
  }
  return multi.get();
}

HttpClient::Response& HttpClient::Request::response()
{
  return *state->response;
}

std::unique_ptr<HttpClient::Response> HttpClient::get(const std::string& url, const std::string& certificates,
                                                      long timeoutSeconds, const RequestHook& hook)
{
  return perform(prepareGet(url, certificates, timeoutSeconds, hook));
}

std::unique_ptr<HttpClient::Response> HttpClient::post(const std::string& url, const std::string& body,
                                                       const std::string& contentType,
                                                       const std::string& certificates, long timeoutSeconds,
                                                       const RequestHook& hook)
{
  return perform(preparePost(url, body, contentType, certificates, timeoutSeconds, hook));
}

std::unique_ptr<HttpClient::Request> HttpClient::prepareGet(const std::string& url,
                                                            const std::string& certificates,
                                                            long timeoutSeconds, const RequestHook& hook)
{
  if (Logger::getLevel() == LogLevel::Trace) {
    Logger::log("Http GET: " + withoutPassword(url), LogLevel::Trace);
  }
  return prepare(url, "", "", certificates, timeoutSeconds, hook);
}

std::unique_ptr<HttpClient::Request> HttpClient::preparePost(const std::string& url, const std::string& body,
                                                             const std::string& contentType,
                                                             const std::string& certificates,
                                                             long timeoutSeconds, const RequestHook& hook)
{
  if (Logger::getLevel() == LogLevel::Trace) {
    std::string shown =
        body.size() > maxLoggedBodyLength ? body.substr(0, maxLoggedBodyLength) + "..." : body;
    Logger::log("Http POST: " + withoutPassword(url) + "\n" + shown, LogLevel::Trace);
  }
  return prepare(url, body, contentType, certificates, timeoutSeconds, hook);
}

std::unique_ptr<HttpClient::Request> HttpClient::prepare(const std::string& rawUrl, const std::string& body,
                                                         const std::string& contentType,
                                                         const std::string& certificates, long timeoutSeconds,
                                                         const RequestHook& hook)
{
  auto state = std::make_unique<Request::State>();
  // libcurl does not tell connections or TLS sessions apart by the certificates a context
  // callback trusted: a handle that kept them could let a later request through on a peer
  // verified against another request's trust. Such a request gets a handle of its own.
  state->borrowed = certificates.empty() ? borrowThreadHandles() : nullptr;
  if (state->borrowed) {
    state->handle = state->borrowed->easy.get();
    // curl_easy_reset keeps a share; only a hook that sets one again makes this request use it.
    curl_easy_setopt(state->handle, CURLOPT_SHARE, nullptr);
  } else {
    state->ownHandle.reset(curl_easy_init());
    state->handle = state->ownHandle.get();
  }
  if (!state->handle) {
    return nullptr;
  }
  CURL* curl = state->handle;
  state->url = StringUtils::trimmed(rawUrl);
  state->body = body;
  state->certificates = certificates;

  curl_easy_setopt(curl, CURLOPT_URL, state->url.c_str());
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeaderLine);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBodyChunk);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_ANY));

  if (!state->body.empty()) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, state->body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(state->body.size()));
  }
  if (!state->certificates.empty()) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, addCertificates);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &state->certificates);
  }

  state->sentEntry = findCacheEntry(state->url);
  bool listComplete = appendHeader(state->headerList, "User-Agent: Tessaly");
  if (!body.empty()) {
    listComplete = listComplete && appendHeader(state->headerList, "Content-Type: " + contentType);
  }
  if (state->sentEntry) {
    listComplete =
        listComplete && appendHeader(state->headerList, "If-None-Match: \"" + state->sentEntry->etag + "\"");
  }
  if (!listComplete) {
    return nullptr;
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, state->headerList.get());
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &state->response->headers);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &state->response->body);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, state->errorBuffer);

  if (hook) {
    hook(curl);
  }
  return std::unique_ptr<Request>(new Request(std::move(state)));
}

std::unique_ptr<HttpClient::Response> HttpClient::perform(std::unique_ptr<Request> request)
{
  if (!request) {
    return std::make_unique<Response>();
  }
  const CURLcode result = curl_easy_perform(request->handle());
  return finish(std::move(request), result);
}

std::unique_ptr<HttpClient::Response> HttpClient::finish(std::unique_ptr<Request> request, CURLcode result)
{
  Request::State& state = *request->state;
  std::unique_ptr<Response> response = std::move(state.response);
  response->curlCode = result;

  if (result != CURLE_OK) {
    Logger::log("Curl error: " + std::to_string(result) + " - " + curl_easy_strerror(result) + ", " +
                    state.errorBuffer,
                LogLevel::Warning);
    return response;
  }

  long status = 0;
  curl_easy_getinfo(state.handle, CURLINFO_RESPONSE_CODE, &status);
  response->statusCode = static_cast<int32_t>(status);

  settle(state.url, state.sentEntry, *response);
  return response;
}

HttpClient::CacheTicket HttpClient::cachedTag(const std::string& url, std::string& etag)
{
  SharedEntry entry = findCacheEntry(url);
  etag = entry ? entry->etag : std::string();
  return entry;
}

bool HttpClient::settle(const std::string& url, const CacheTicket& sent, Response& response)
{
  if (response.statusCode == 304) {
    SharedEntry replayed = sent ? std::static_pointer_cast<const CacheEntry>(sent) : findCacheEntry(url);
    if (replayed) {
      response = replayed->response;
      return true;
    }
  }
  storeIfTagged(url, response);
  return false;
}

std::string HttpClient::urlEncode(const std::string& text)
{
#if LIBCURL_VERSION_NUM >= 0x075200
  // Since 7.82 libcurl ignores the handle here; a proxied request encodes every argument.
  char* escaped = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
#else
  CurlHandle handle(curl_easy_init());
  if (!handle) {
    return "";
  }
  char* escaped = curl_easy_escape(handle.get(), text.data(), static_cast<int>(text.size()));
#endif
  if (!escaped) {
    return "";
  }
  std::string result(escaped);
  curl_free(escaped);
  return result;
}

void HttpClient::trimCache(size_t maxCount)
{
  std::lock_guard<std::mutex> lock(cacheMutex);
  trimCacheLocked(maxCount, Limits::maxEtagCacheBytes);
}

size_t HttpClient::cacheSize()
{
  std::lock_guard<std::mutex> lock(cacheMutex);
  return etagCache.size();
}

size_t HttpClient::cacheBytes()
{
  std::lock_guard<std::mutex> lock(cacheMutex);
  return etagCacheBytes;
}

CURLcode HttpClient::addCertificates(CURL*, void* sslContext, void* parm)
{
  static const std::string endMarker = "-----END CERTIFICATE-----";
  try {
    const std::string& text = *static_cast<const std::string*>(parm);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    size_t blockStart = 0;
    for (size_t marker = text.find(endMarker); marker != std::string::npos;
         marker = text.find(endMarker, blockStart)) {
      size_t blockEnd = marker + endMarker.size();
      CHandle<BIO, BIO_free> bio(
          BIO_new_mem_buf(text.data() + blockStart, static_cast<int>(blockEnd - blockStart)));
      blockStart = blockEnd;
      CHandle<X509, X509_free> certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)
                                               : nullptr);
      if (!certificate) {
        Logger::log("PEM_read_bio_X509 failed.", LogLevel::Error);
      }
      if (!certificate || !store || X509_STORE_add_cert(store, certificate.get()) != 1) {
        Logger::log("Error adding certificate.", LogLevel::Error);
      }
    }
  } catch (...) {
    // A failure here must not unwind through libcurl; peer verification decides instead.
  }
  return CURLE_OK;
}
