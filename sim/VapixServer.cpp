#include "VapixServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <strings.h>

namespace {

constexpr const char* realm = "camera-sim";
constexpr const char* opaque = "5ccc069c403ebaf9f0171e9517f40e41";
constexpr size_t maxBodySize = 1 << 20;
constexpr unsigned nonceTimeoutSeconds = 300;

struct ResponseDeleter {
  void operator()(MHD_Response* response) const { MHD_destroy_response(response); }
};
using ResponsePtr = std::unique_ptr<MHD_Response, ResponseDeleter>;

struct MhdStringDeleter {
  void operator()(char* text) const { MHD_free(text); }
};
using MhdString = std::unique_ptr<char, MhdStringDeleter>;

ResponsePtr textResponse(const std::string& text)
{
  ResponsePtr response(
      MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY));
  if (response) {
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
  }
  return response;
}

MHD_Result collectArgument(void* target, MHD_ValueKind, const char* key, const char* value)
{
  static_cast<ParamCgi::Arguments*>(target)->emplace_back(key, value == nullptr ? "" : value);
  return MHD_YES;
}

bool startsWithWord(const char* text, const char* word)
{
  return text != nullptr && strncasecmp(text, word, std::strlen(word)) == 0;
}

} // namespace

struct VapixServer::Request {
  std::string body;
  bool tooLarge = false;
};

VapixServer::VapixServer(ParameterStore& storeRef, Credentials& credentialsRef, FaultInjector& faultsRef,
                         ChangeListener listener)
    : store(storeRef), credentials(credentialsRef), faults(faultsRef), onChange(std::move(listener))
{
  std::random_device source;
  for (int i = 0; i < 32; ++i) {
    nonceSeed.push_back(static_cast<unsigned char>(source()));
  }
}

VapixServer::~VapixServer()
{
  stop();
}

bool VapixServer::start(const std::string& address, uint16_t port, std::string& error)
{
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr) != 1) {
    error = "invalid address " + address;
    return false;
  }
  MHD_Daemon* started = MHD_start_daemon(
      MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_ERROR_LOG, port, nullptr, nullptr, &VapixServer::onRequest, this,
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&socketAddress), MHD_OPTION_NOTIFY_COMPLETED,
      &VapixServer::onCompleted, this, MHD_OPTION_DIGEST_AUTH_RANDOM, nonceSeed.size(), nonceSeed.data(),
      MHD_OPTION_NONCE_NC_SIZE, 1000u, MHD_OPTION_END);
  if (started == nullptr) {
    error = "cannot listen on " + address + ":" + std::to_string(port);
    return false;
  }
  stop();
  daemon = started;
  listeningPort = port;
  return true;
}

void VapixServer::stop()
{
  if (daemon != nullptr) {
    MHD_stop_daemon(daemon);
    daemon = nullptr;
    listeningPort = 0;
  }
}

MHD_Result VapixServer::onRequest(void* self, MHD_Connection* connection, const char* url, const char* method,
                                  const char*, const char* uploadData, size_t* uploadDataSize, void** state)
{
  try {
    if (*state == nullptr) {
      *state = new Request;
      return MHD_YES;
    }
    auto* request = static_cast<Request*>(*state);
    if (*uploadDataSize > 0) {
      if (request->body.size() + *uploadDataSize > maxBodySize) {
        request->tooLarge = true;
      } else {
        request->body.append(uploadData, *uploadDataSize);
      }
      *uploadDataSize = 0;
      return MHD_YES;
    }
    if (request->tooLarge) {
      ResponsePtr response = textResponse("# Request failed: body too large\n");
      return MHD_queue_response(connection, MHD_HTTP_CONTENT_TOO_LARGE, response.get());
    }
    return static_cast<VapixServer*>(self)->answer(connection, url, method, request->body);
  } catch (const std::exception& e) {
    std::cerr << "vapix: " << e.what() << std::endl;
    return MHD_NO;
  }
}

void VapixServer::onCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode)
{
  delete static_cast<Request*>(*state);
  *state = nullptr;
}

bool VapixServer::authenticated(MHD_Connection* connection, bool& staleNonce) const
{
  const char* header =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  if (startsWithWord(header, "Basic ")) {
    char* rawPassword = nullptr;
    MhdString user(MHD_basic_auth_get_username_password(connection, &rawPassword));
    MhdString password(rawPassword);
    if (!user || !password) {
      return false;
    }
    auto expected = credentials.passwordFor(user.get());
    return expected && *expected == password.get();
  }
  if (startsWithWord(header, "Digest ")) {
    MhdString user(MHD_digest_auth_get_username(connection));
    if (!user) {
      return false;
    }
    auto expected = credentials.passwordFor(user.get());
    if (!expected) {
      return false;
    }
    int result = MHD_digest_auth_check2(connection, realm, user.get(), expected->c_str(), nonceTimeoutSeconds,
                                        MHD_DIGEST_ALG_MD5);
    staleNonce = result == MHD_INVALID_NONCE;
    return result == MHD_YES;
  }
  return false;
}

MHD_Result VapixServer::answer(MHD_Connection* connection, const std::string& url, const std::string& method,
                               const std::string& body)
{
  ParamCgi::Arguments arguments;
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collectArgument, &arguments);
  if (method == "POST") {
    for (auto& argument : ParamCgi::decodeForm(body)) {
      arguments.push_back(std::move(argument));
    }
  }
  std::string described = method + " " + url;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    described += (i == 0 ? " " : "&") + arguments[i].first + "=" + arguments[i].second;
  }

  // An injected failure stands for the whole request, challenge included, so that one
  // client request consumes exactly one of them.
  if (auto status = faults.take()) {
    std::cerr << "vapix: " << described << " -> " << *status << " (injected)" << std::endl;
    ResponsePtr response = textResponse("Injected failure " + std::to_string(*status) + "\n");
    return MHD_queue_response(connection, *status, response.get());
  }

  bool staleNonce = false;
  if (!authenticated(connection, staleNonce)) {
    std::cerr << "vapix: " << described << " -> 401" << std::endl;
    ResponsePtr response = textResponse("401 Unauthorized\n");
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_WWW_AUTHENTICATE,
                            (std::string("Basic realm=\"") + realm + "\"").c_str());
    return MHD_queue_auth_fail_response2(connection, realm, opaque, response.get(),
                                         staleNonce ? MHD_YES : MHD_NO, MHD_DIGEST_ALG_MD5);
  }

  ParamCgi::Answer result;
  if (url == "/axis-cgi/param.cgi") {
    result = ParamCgi::handle(store, arguments);
  } else {
    result = {MHD_HTTP_NOT_FOUND, "Not found\n", {}};
  }
  std::cerr << "vapix: " << described << " -> " << result.status << std::endl;
  if (!result.changes.empty() && onChange) {
    onChange(result.changes);
  }
  ResponsePtr response = textResponse(result.body);
  return MHD_queue_response(connection, result.status, response.get());
}
