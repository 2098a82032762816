#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Outgoing HTTP over libcurl's easy interface: one blocking request per call, any thread,
// or a prepared request whose transfer the caller runs itself. Each thread's requests use
// its own easy handles (a handful at most, and one multi handle) in turn, reset between them, so that
// libcurl's per-handle set-up and connections are not made again for every request. Every request carries
// "User-Agent: Tessaly", follows redirects and lets credentials in the URL use any
// authentication scheme. A process-wide cache of ETag-tagged responses (at most five, each
// and all together within the byte bounds of Limits.h) lets a 304 answer be replayed as the
// stored response.
class HttpClient {
public:
  struct Response {
    int32_t curlCode = CURLE_FAILED_INIT;
    // 500 until a transfer completed.
    int32_t statusCode = 500;
    // Every raw header line as received, with its "\r\n", status lines and the empty lines
    // that end header blocks included; after redirects, those of every response in order.
    std::vector<std::string> headers;
    std::string body;
  };

  // Called with the easy handle after all of this class's options are set, just before the
  // transfer, so that a caller can set more options (method, TLS verification, ...).
  using RequestHook = std::function<void(CURL*)>;

  // GET of `url` (trimmed). `certificates` is PEM text of extra trusted certificates, empty
  // for none; `timeoutSeconds` limits the whole transfer. Transfer failures give curlCode
  // non-zero and statusCode 500, never an exception. At Trace level the request is logged
  // first, with the password of credentials in the URL masked.
  static std::unique_ptr<Response> get(const std::string& url, const std::string& certificates,
                                       long timeoutSeconds, const RequestHook& hook = nullptr);

  // POST of `body` with the given content type; an empty body is sent as a GET without a
  // Content-Type header.
  static std::unique_ptr<Response> post(const std::string& url, const std::string& body,
                                        const std::string& contentType, const std::string& certificates,
                                        long timeoutSeconds, const RequestHook& hook = nullptr);

  // A request with every option of this class set on its handle, not yet performed, for a
  // caller that runs the transfer itself and then ends it with `finish`. It owns the handle
  // and everything the handle's options point at, and never moves.
  class Request {
  public:
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    ~Request();

    CURL* handle() const;
    // A multi handle for a caller that drives the transfer itself, made on first use; the
    // thread's own when the easy handle is the thread's too, so it is made once per thread.
    // The caller removes the easy handle from it before the request ends. nullptr when
    // libcurl cannot give one.
    CURLM* multi();
    // Where the header lines arrive, and the body unless the caller sets its own writer.
    Response& response();

  private:
    friend class HttpClient;
    struct State;
    explicit Request(std::unique_ptr<State> state);
    std::unique_ptr<State> state;
  };

  // The request `get` (or `post`) would perform, logged as they log it. `timeoutSeconds` 0
  // sets no time limit. nullptr when libcurl cannot give a handle or a header list.
  static std::unique_ptr<Request> prepareGet(const std::string& url, const std::string& certificates,
                                             long timeoutSeconds, const RequestHook& hook = nullptr);
  static std::unique_ptr<Request> preparePost(const std::string& url, const std::string& body,
                                              const std::string& contentType, const std::string& certificates,
                                              long timeoutSeconds, const RequestHook& hook = nullptr);

  // Ends a prepared request whose transfer ended with `result`, its whole body received, as
  // `get` ends one: a failure is logged, a 304 is replaced by the stored response, a tagged
  // response is stored when it fits the cache.
  static std::unique_ptr<Response> finish(std::unique_ptr<Request> request, CURLcode result);

  // The ETag cache for a request made without libcurl. `cachedTag` gives the entry stored for
  // `url` (null when none) and its tag, to be named in If-None-Match; `settle` ends the answer
  // as `finish` ends one: a 304 is replaced by that entry's response (or, when none was
  // named, by the one stored now), a tagged answer is stored when it fits the cache. It
  // returns whether the answer was replaced. An answer that is neither a 304 nor tagged (no
  // ETag line) is left as it is, so it need not be settled.
  using CacheTicket = std::shared_ptr<const void>;
  static CacheTicket cachedTag(const std::string& url, std::string& etag);
  static bool settle(const std::string& url, const CacheTicket& sent, Response& response);

  // Percent-encodes every byte except letters, digits and "-._~". Empty when libcurl
  // cannot give a handle.
  static std::string urlEncode(const std::string& text);

  // Drops the entries stored earliest until at most `maxCount` remain (0 empties the cache).
  static void trimCache(size_t maxCount);

  // The number of responses in the ETag cache.
  static size_t cacheSize();

  // The bytes the ETag cache holds: every entry's URL, tag, header lines and body.
  static size_t cacheBytes();

  // TLS context callback: adds every PEM certificate of the text at `parm` to the context's
  // store. Bad certificates are logged and skipped; always returns CURLE_OK.
  static CURLcode addCertificates(CURL* handle, void* sslContext, void* parm);

private:
  static std::unique_ptr<Request> prepare(const std::string& url, const std::string& body,
                                          const std::string& contentType, const std::string& certificates,
                                          long timeoutSeconds, const RequestHook& hook);
  static std::unique_ptr<Response> perform(std::unique_ptr<Request> request);
};
