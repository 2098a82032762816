#include "http/ProxyTarget.h"

#include "camera/HttpClient.h"
#include "http/RequestData.h"
#include "util/Logger.h"
#include "util/StringUtils.h"

#include <algorithm>

namespace ProxyTarget {
namespace {

std::string percentDecoded(const std::string& text)
{
  std::string decoded = text;
  decoded.resize(percentDecode(decoded.data()));
  return decoded;
}

} // namespace

std::string upstreamQuery(const std::map<std::string, std::string>& arguments)
{
  std::string query;
  for (const auto& argument : arguments) {
    if (!query.empty()) {
      query += "&";
    }
    query += HttpClient::urlEncode(argument.first) + "=" + HttpClient::urlEncode(argument.second);
  }
  return query;
}

PackageRoute packageRoute(const std::string& url, bool isPublic)
{
  const std::vector<std::string> pieces = StringUtils::split(url, '/');
  const char* const word = isPublic ? "proxy_public" : "proxy";
  PackageRoute route;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (pieces[i] != word) {
      continue;
    }
    if (i + 1 >= pieces.size()) {
      return route;
    }
    route.valid = true;
    route.packageName = pieces[i + 1];
    route.path = StringUtils::join(
        std::vector<std::string>(pieces.begin() + static_cast<std::ptrdiff_t>(i) + 2, pieces.end()), '/');
    return route;
  }
  return route;
}

PackageTarget packageTarget(const std::string& requestTarget, bool isPublic)
{
  const size_t question = requestTarget.find('?');
  const size_t pathEnd = question == std::string::npos ? requestTarget.size() : question;
  const char* const word = isPublic ? "proxy_public" : "proxy";
  PackageTarget found;
  // The pieces between slashes, walked without cutting the path up: the word, then the name.
  for (size_t begin = 0; begin <= pathEnd;) {
    const size_t slash = std::min(requestTarget.find('/', begin), pathEnd);
    if (slash == pathEnd) {
      return found; // the last piece: no name follows it
    }
    if (percentDecoded(requestTarget.substr(begin, slash - begin)) == word) {
      const size_t nameBegin = slash + 1;
      const size_t nameEnd = std::min(requestTarget.find('/', nameBegin), pathEnd);
      found.valid = true;
      found.packageName = percentDecoded(requestTarget.substr(nameBegin, nameEnd - nameBegin));
      found.target = "/";
      if (nameEnd < pathEnd) {
        found.target.append(requestTarget, nameEnd + 1, pathEnd - nameEnd - 1);
      }
      if (question != std::string::npos) {
        found.target.append(requestTarget, question, std::string::npos);
      }
      return found;
    }
    begin = slash + 1;
  }
  return found;
}

CameraTarget cameraTarget(const RequestData& request, const std::string& query)
{
  CameraTarget target;
  const std::string protocol = request.header("x-target-camera-protocol");
  target.protocol = protocol == "http" ? "http" : "https";
  target.verifyCertificate = protocol == "https";
  target.ip = request.header("x-target-camera-ip");
  target.port = request.header("x-target-camera-port");
  target.path = request.header("x-target-camera-path");
  if (!query.empty()) {
    target.path += "?" + query;
  }
  target.user = HttpClient::urlEncode(request.header("x-target-camera-user"));
  target.password = HttpClient::urlEncode(request.header("x-target-camera-pass"));
  return target;
}

bool isComplete(const CameraTarget& target)
{
  return !target.protocol.empty() && !target.ip.empty() && !target.port.empty();
}

std::string cameraUrl(const CameraTarget& target)
{
  std::string url = target.protocol + "://";
  if (!target.user.empty() && !target.password.empty()) {
    url += target.user + ":" + target.password + "@";
  }
  url += target.ip;
  if (!target.port.empty()) {
    url += ":" + target.port;
  }
  return url + target.path;
}

unsigned clientStatus(int32_t upstreamStatus)
{
  return static_cast<unsigned>(upstreamStatus == 401 ? 400 : upstreamStatus);
}

bool isFinalStatus(int32_t status)
{
  return status >= 200 && status <= 599;
}

std::string noAnswerMessage(const Upstream& upstream)
{
  return "Http API: proxy request error - no answer from " + upstream.name;
}

// A package's own failure answers are its business: one Warning line names it, and the body
// reaches the client unchanged. A camera's are logged with their body.
void logFailureAnswer(const Upstream& upstream, const RequestData& request, unsigned status,
                      const std::string& body)
{
  constexpr size_t maxLoggedBodyLength = 1000;
  if (!upstream.packageName.empty()) {
    if (status < 200 || status > 299) {
      Logger::log("Http API: package " + upstream.packageName + " answered " + std::to_string(status) +
                      " to " + request.method + " " + request.url,
                  LogLevel::Warning);
    }
    return;
  }
  if (status != 200) {
    Logger::log(body.empty() ? "Http API: " + upstream.name + " answered " + std::to_string(status)
                : body.size() <= maxLoggedBodyLength ? body
                                                     : body.substr(0, maxLoggedBodyLength) + "...",
                LogLevel::Error);
  }
}

} // namespace ProxyTarget
