#include "camera/CameraParameters.h"

#include "camera/HttpClient.h"
#include "camera/VapixAccess.h"
#include "util/Failure.h"
#include "util/FileUtils.h"
#include "util/Logger.h"
#include "util/StringUtils.h"

#include <utility>
#include <vector>

namespace {

constexpr const char* paramCgi = "/axis-cgi/param.cgi";
constexpr long vapixTimeoutSeconds = 5;

} // namespace

CameraParameters::CameraParameters(std::string appName, std::shared_ptr<VapixAccess> vapixAccess)
    : cache(appName), appName(std::move(appName)), vapixAccess(std::move(vapixAccess))
{
}

std::map<std::string, std::string> CameraParameters::getParameters()
{
  return cache.snapshot();
}

AXParameter* CameraParameters::parameterHandle()
{
  if (!handle) {
    GError* rawError = nullptr;
    handle.reset(ax_parameter_new(appName.c_str(), &rawError));
    GErrorPtr error(rawError);
    if (!handle) {
      throw Failure(Failure::Kind::Io, "Unable to get camera parameter group: " + errorMessage(error));
    }
  }
  return handle.get();
}

std::string CameraParameters::getParameter(const std::string& name)
{
  AXParameter* parameters = parameterHandle();
  GError* rawError = nullptr;
  gchar* rawValue = nullptr;
  gboolean read = ax_parameter_get(parameters, name.c_str(), &rawValue, &rawError);
  GCharPtr value(rawValue);
  GErrorPtr error(rawError);
  if (!read) {
    throw Failure(Failure::Kind::Io, "Unable to get parameter \"" + name + "\":" + errorMessage(error));
  }
  return StringUtils::trimmed(value ? value.get() : "");
}

void CameraParameters::addParameter(const std::string& name)
{
  cache.set(name, getParameter(name));
}

void CameraParameters::registerCallback(const std::string& name, ParameterCallback callback)
{
  if (!cache.contains(name)) {
    throw Failure(Failure::Kind::Internal,
                  "Unable to register callback for unknown parameter: \"" + name + "\"");
  }
  callbacks[name] = callback;
  AXParameter* parameters = parameterHandle();
  GError* rawError = nullptr;
  gboolean registered =
      ax_parameter_register_callback(parameters, name.c_str(), callback, nullptr, &rawError);
  GErrorPtr error(rawError);
  if (!registered) {
    throw Failure(Failure::Kind::Io, "Unable to register callback for parameter: \"" + name + "\"");
  }
}

void CameraParameters::checkParameters()
{
  for (const auto& [name, cachedValue] : cache.snapshot()) {
    std::string current;
    try {
      current = getParameter(name);
    } catch (const Failure& failure) {
      Logger::log(failure.what(), LogLevel::Error);
      continue;
    }
    if (current == cachedValue) {
      continue;
    }
    auto callback = callbacks.find(name);
    if (callback != callbacks.end() && callback->second) {
      callback->second(name.c_str(), current.c_str(), nullptr);
    }
  }
}

bool CameraParameters::updateParameter(const std::string& name, const std::string& value)
{
  return cache.update(name, value);
}

void CameraParameters::saveToFile(const std::string& path)
{
  std::string content;
  for (const auto& [name, value] : cache.snapshot()) {
    content += name + "=" + value + "\n";
  }
  FileUtils::writeFile(path, content, false);
}

void CameraParameters::loadFromFile(const std::string& path)
{
  std::vector<std::string> lines;
  StringUtils::split(FileUtils::readFile(path), '\n', lines, 0);
  for (const std::string& line : lines) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
      continue;
    }
    try {
      setVapixParameter(line.substr(0, equals), line.substr(equals + 1));
    } catch (const Failure& failure) {
      Logger::log(failure.what(), LogLevel::Error);
    }
  }
}

std::optional<std::string> CameraParameters::parseListValue(const std::string& body)
{
  size_t equals = body.find('=');
  if (equals == std::string::npos) {
    return std::nullopt;
  }
  // The value line is the one holding the first "=", even after a leading line of text.
  size_t newline = body.find('\n', equals);
  if (newline == std::string::npos) {
    return std::nullopt;
  }
  return StringUtils::trimmed(body.substr(equals + 1, newline - equals - 1));
}

std::string CameraParameters::getVapixParameter(const std::string& name)
{
  const std::string what = "Unable to get parameter \"" + name + "\"";
  if (!vapixAccess) {
    throw Failure(Failure::Kind::Io, what + " - no VAPIX access");
  }
  auto response = vapixAccess->get(std::string(paramCgi) + "?action=list&group=" + name, vapixTimeoutSeconds);
  if (response->statusCode != 200) {
    throw Failure(Failure::Kind::Io, what + " - status: " + std::to_string(response->statusCode));
  }
  std::optional<std::string> value = parseListValue(response->body);
  if (!value) {
    throw Failure(Failure::Kind::Io, what + " - parse error, data: " + response->body);
  }
  return *value;
}

std::string CameraParameters::updateBody(const std::string& name, const std::string& value)
{
  return "action=update&" + HttpClient::urlEncode(name) + "=" +
         HttpClient::urlEncode(StringUtils::trimmed(value));
}

void CameraParameters::setVapixParameter(const std::string& name, const std::string& value)
{
  const std::string what = "Unable to set parameter \"" + name + "\"";
  if (!vapixAccess) {
    throw Failure(Failure::Kind::Io, what + " - no VAPIX access");
  }
  auto response = vapixAccess->post(paramCgi, updateBody(name, value), "application/x-www-form-urlencoded",
                                    vapixTimeoutSeconds);
  if (response->statusCode != 200) {
    throw Failure(Failure::Kind::Io, what + " - status: " + std::to_string(response->statusCode));
  }
}

void CameraParameters::setApplicationParameter(const std::string& name, const std::string& value)
{
  setVapixParameter(appName + "." + name, value);
}
