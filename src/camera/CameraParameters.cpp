#include "camera/CameraParameters.h"

#include "camera/HttpClient.h"
#include "camera/VapixAccess.h"
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
      Logger::log("Unable to get camera parameter group: " + errorMessage(error), LogLevel::Error);
    }
  }
  return handle.get();
}

std::string CameraParameters::getParameter(const std::string& name, bool& ok)
{
  ok = false;
  AXParameter* parameters = parameterHandle();
  if (!parameters) {
    return "";
  }
  GError* rawError = nullptr;
  gchar* rawValue = nullptr;
  gboolean read = ax_parameter_get(parameters, name.c_str(), &rawValue, &rawError);
  GCharPtr value(rawValue);
  GErrorPtr error(rawError);
  if (!read) {
    Logger::log("Unable to get parameter \"" + name + "\":" + errorMessage(error), LogLevel::Error);
    return "";
  }
  ok = true;
  return StringUtils::trimmed(value ? value.get() : "");
}

bool CameraParameters::addParameter(const std::string& name)
{
  bool ok = false;
  std::string value = getParameter(name, ok);
  if (!ok) {
    return false;
  }
  cache.set(name, value);
  return true;
}

bool CameraParameters::registerCallback(const std::string& name, ParameterCallback callback)
{
  if (!cache.contains(name)) {
    Logger::log("Unable to register callback for unknown parameter: \"" + name + "\"", LogLevel::Error);
    return false;
  }
  callbacks[name] = callback;
  AXParameter* parameters = parameterHandle();
  if (!parameters) {
    return false;
  }
  GError* rawError = nullptr;
  gboolean registered =
      ax_parameter_register_callback(parameters, name.c_str(), callback, nullptr, &rawError);
  GErrorPtr error(rawError);
  if (!registered) {
    Logger::log("Unable to register callback for parameter: \"" + name + "\"", LogLevel::Error);
    return false;
  }
  return true;
}

void CameraParameters::checkParameters()
{
  for (const auto& [name, cachedValue] : cache.snapshot()) {
    bool ok = false;
    std::string current = getParameter(name, ok);
    if (!ok || current == cachedValue) {
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
    if (equals != std::string::npos) {
      setVapixParameter(line.substr(0, equals), line.substr(equals + 1));
    }
  }
}

bool CameraParameters::parseListValue(const std::string& body, std::string& value)
{
  size_t equals = body.find('=');
  if (equals == std::string::npos) {
    return false;
  }
  // The value line is the one holding the first "=", even after a leading line of text.
  size_t newline = body.find('\n', equals);
  if (newline == std::string::npos) {
    return false;
  }
  value = StringUtils::trimmed(body.substr(equals + 1, newline - equals - 1));
  return true;
}

std::string CameraParameters::getVapixParameter(const std::string& name, bool silent, bool* ok)
{
  std::string failure;
  std::string value;
  if (!vapixAccess) {
    failure = "Unable to get parameter \"" + name + "\" - no VAPIX access";
  } else {
    auto response =
        vapixAccess->get(std::string(paramCgi) + "?action=list&group=" + name, vapixTimeoutSeconds);
    if (response->statusCode != 200) {
      failure = "Unable to get parameter \"" + name + "\" - status: " + std::to_string(response->statusCode);
    } else if (!parseListValue(response->body, value)) {
      failure = "Unable to get parameter \"" + name + "\" - parse error, data: " + response->body;
    }
  }
  if (failure.empty()) {
    if (ok) {
      *ok = true;
    }
    return value;
  }
  if (!silent) {
    Logger::log(failure, LogLevel::Error);
  }
  if (ok) {
    *ok = false;
  }
  return "";
}

std::string CameraParameters::updateBody(const std::string& name, const std::string& value)
{
  return "action=update&" + HttpClient::urlEncode(name) + "=" +
         HttpClient::urlEncode(StringUtils::trimmed(value));
}

bool CameraParameters::setVapixParameter(const std::string& name, const std::string& value)
{
  if (!vapixAccess) {
    Logger::log("Unable to set parameter \"" + name + "\" - no VAPIX access", LogLevel::Error);
    return false;
  }
  auto response = vapixAccess->post(paramCgi, updateBody(name, value), "application/x-www-form-urlencoded",
                                    vapixTimeoutSeconds);
  if (response->statusCode != 200) {
    Logger::log("Unable to set parameter \"" + name + "\" - status: " + std::to_string(response->statusCode),
                LogLevel::Error);
    return false;
  }
  return true;
}

bool CameraParameters::setApplicationParameter(const std::string& name, const std::string& value)
{
  return setVapixParameter(appName + "." + name, value);
}
