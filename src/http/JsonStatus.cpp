#include "http/JsonStatus.h"

#include "util/StringUtils.h"

std::string jsonStatusBody(unsigned code, const std::string& message, const std::string& reason)
{
  std::string body =
      "{\"status\": " + std::to_string(code) + ", \"message\": \"" + StringUtils::jsonEscape(message) + "\"";
  if (!reason.empty()) {
    body += ", \"reason\": \"" + StringUtils::jsonEscape(reason) + "\"";
  }
  return body + "}";
}
