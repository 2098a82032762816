#pragma once

#include "camera/HttpClient.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Calls the camera's own VAPIX HTTP API as a trusted local client: service-account
// credentials from D-Bus, the web server's port from "System.BoaPort", requests to
// 127.0.0.12. A request that fails is retried once after renewing what may be stale; one
// that cannot be carried out even then ends the process with status 100.
class VapixAccess {
public:
  enum class RequestType { Get = 0, Post = 1 };

  struct PostData {
    std::string contentType;
    std::string body;
  };

  // Fetches the credentials and reads the port. Throws an I/O Failure with the final
  // text when either fails.
  explicit VapixAccess(std::string appName);

  // `path` starts with "/" and is appended unchanged to the base URL.
  std::shared_ptr<HttpClient::Response> get(const std::string& path, long timeoutSeconds,
                                            const HttpClient::RequestHook& hook = nullptr);
  std::shared_ptr<HttpClient::Response> post(const std::string& path, const std::string& body,
                                             const std::string& contentType, long timeoutSeconds,
                                             const HttpClient::RequestHook& hook = nullptr);

  // Sends the request; on a status outside 200-299 renews the credentials (on 401 only)
  // and the port, then sends it once more and returns that answer. A second 401 or a
  // failed renewal is logged and ends the process with status 100.
  std::shared_ptr<HttpClient::Response> request(RequestType type, const std::string& path,
                                                const PostData* postData, long timeoutSeconds,
                                                const HttpClient::RequestHook& hook);

  // Asks the credentials service for a new "user:password" token. Throws on failure.
  void fetchCredentials();

  // Reads the port again and rebuilds the base URL with the current credentials. Throws
  // on failure.
  void updateBaseUrl();

  // The web server port of "System.BoaPort", read on the main loop (waiting for it when
  // called from another thread). Throws on failure.
  uint32_t readHttpPort();

  std::string getBaseUrl() const;

  // The port in the text: leading decimal digits after white space. Throws the
  // "Invalid parameter" error when there are none or they are no TCP port.
  static uint32_t parsePort(const std::string& text);

private:
  // The raw value of "System.BoaPort". Main loop only (see readHttpPort).
  std::string readHttpPortText() const;

  std::shared_ptr<HttpClient::Response> send(RequestType type, const std::string& path,
                                             const PostData* postData, long timeoutSeconds,
                                             const HttpClient::RequestHook& hook);

  const std::string appName;
  // A renewal on one thread rewrites these while others build URLs from them.
  mutable std::mutex mutex;
  uint32_t httpPort = 0;
  std::string credentials;
  std::string baseUrl;
};
