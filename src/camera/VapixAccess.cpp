#include "camera/VapixAccess.h"

#include "camera/PlatformHandles.h"
#include "util/Failure.h"
#include "util/Logger.h"
#include "util/MainContextCall.h"
#include "util/StringUtils.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace {

constexpr const char* vapixHost = "127.0.0.12";
constexpr const char* portParameter = "System.BoaPort";

Failure tokenError(const GErrorPtr& error)
{
  return Failure(Failure::Kind::Io, "VapixAccess - cannot get authorization token: " + errorMessage(error));
}

bool isSuccess(int32_t status)
{
  return status >= 200 && status <= 299;
}

} // namespace

VapixAccess::VapixAccess(std::string appName) : appName(std::move(appName))
{
  fetchCredentials();
  updateBaseUrl();
}

std::shared_ptr<HttpClient::Response> VapixAccess::get(const std::string& path, long timeoutSeconds,
                                                       const HttpClient::RequestHook& hook)
{
  return request(RequestType::Get, path, nullptr, timeoutSeconds, hook);
}

std::shared_ptr<HttpClient::Response> VapixAccess::post(const std::string& path, const std::string& body,
                                                        const std::string& contentType, long timeoutSeconds,
                                                        const HttpClient::RequestHook& hook)
{
  PostData postData{contentType, body};
  return request(RequestType::Post, path, &postData, timeoutSeconds, hook);
}

std::shared_ptr<HttpClient::Response> VapixAccess::request(RequestType type, const std::string& path,
                                                           const PostData* postData, long timeoutSeconds,
                                                           const HttpClient::RequestHook& hook)
{
  try {
    auto response = send(type, path, postData, timeoutSeconds, hook);
    if (isSuccess(response->statusCode)) {
      return response;
    }
    if (response->statusCode == 401) {
      fetchCredentials();
    }
    // A failed transfer (500) may mean the web server moved to another port.
    updateBaseUrl();
    response = send(type, path, postData, timeoutSeconds, hook);
    if (response->statusCode == 401) {
      throw Failure(Failure::Kind::Io, "Invalid authorization token");
    }
    return response;
  } catch (const std::runtime_error& error) {
    Logger::log(std::string("VapixAccess - ") + error.what(), LogLevel::Error);
    // Any thread may get here, also an HTTP connection thread: ending without running
    // static destructors keeps the servers from being torn down under live threads.
    std::fflush(nullptr);
    _exit(100);
  }
}

std::shared_ptr<HttpClient::Response> VapixAccess::send(RequestType type, const std::string& path,
                                                        const PostData* postData, long timeoutSeconds,
                                                        const HttpClient::RequestHook& hook)
{
  const std::string url = getBaseUrl() + path;
  switch (type) {
  case RequestType::Get:
    return HttpClient::get(url, "", timeoutSeconds, hook);
  case RequestType::Post:
    if (postData) {
      return HttpClient::post(url, postData->body, postData->contentType, "", timeoutSeconds, hook);
    }
    break;
  }
  throw Failure(Failure::Kind::Internal, "VapixAccess - invalid request type");
}

void VapixAccess::fetchCredentials()
{
  GError* rawError = nullptr;
  GDBusConnectionPtr bus(g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &rawError));
  GErrorPtr error(rawError);
  if (!bus) {
    throw tokenError(error);
  }
  rawError = nullptr;
  GVariantPtr reply(g_dbus_connection_call_sync(
      bus.get(), "com.axis.HTTPConf1", "/com/axis/HTTPConf1/VAPIXServiceAccounts1",
      "com.axis.HTTPConf1.VAPIXServiceAccounts1", "GetCredentials", g_variant_new("(s)", "acap-user"),
      nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &rawError));
  error.reset(rawError);
  if (!reply) {
    throw tokenError(error);
  }
  // The reply type is not checked by the call, so a service answering something other
  // than one string is refused here rather than read as one.
  if (!g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("(s)"))) {
    throw Failure(Failure::Kind::Io,
                  std::string("VapixAccess - cannot get authorization token: unexpected reply type ") +
                      g_variant_get_type_string(reply.get()));
  }
  const gchar* token = nullptr;
  g_variant_get(reply.get(), "(&s)", &token);
  std::lock_guard<std::mutex> lock(mutex);
  credentials = token ? token : "";
}

uint32_t VapixAccess::readHttpPort()
{
  // A request that renews what may be stale can come from any thread; the parameter library
  // is called on the main loop only.
  return parsePort(callOnMainContext<std::string>([this]() { return readHttpPortText(); }));
}

std::string VapixAccess::readHttpPortText() const
{
  GError* rawError = nullptr;
  AXParameterPtr handle(ax_parameter_new(appName.c_str(), &rawError));
  GErrorPtr error(rawError);
  if (!handle) {
    throw Failure(Failure::Kind::Io, "Unable to get camera parameter group: " + errorMessage(error));
  }
  rawError = nullptr;
  gchar* rawValue = nullptr;
  gboolean read = ax_parameter_get(handle.get(), portParameter, &rawValue, &rawError);
  GCharPtr value(rawValue);
  error.reset(rawError);
  if (!read) {
    throw Failure(Failure::Kind::Io,
                  std::string("Unable to get parameter \"") + portParameter + "\":" + errorMessage(error));
  }
  return value ? value.get() : "";
}

uint32_t VapixAccess::parsePort(const std::string& text)
{
  const std::string trimmed = StringUtils::trimmed(text);
  uint32_t port = 0;
  size_t digits = 0;
  // Stops as soon as the number can no longer be a TCP port, so it never overflows.
  while (digits < trimmed.size() && std::isdigit(static_cast<unsigned char>(trimmed[digits])) &&
         port <= 65535) {
    port = port * 10 + static_cast<uint32_t>(trimmed[digits] - '0');
    ++digits;
  }
  if (digits == 0 || port == 0 || port > 65535) {
    throw Failure(Failure::Kind::Io,
                  std::string("Invalid parameter \"") + portParameter + "\" value: " + trimmed);
  }
  return port;
}

void VapixAccess::updateBaseUrl()
{
  uint32_t port = readHttpPort();
  std::lock_guard<std::mutex> lock(mutex);
  httpPort = port;
  baseUrl = "http://" + credentials + "@" + vapixHost + ":" + std::to_string(httpPort);
}

std::string VapixAccess::getBaseUrl() const
{
  std::lock_guard<std::mutex> lock(mutex);
  return baseUrl;
}
