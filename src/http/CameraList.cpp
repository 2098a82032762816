#include "http/CameraList.h"

#include "util/StringUtils.h"

#include <vector>

namespace CameraList {
namespace {

// Control bytes other than the ones the JSON escape knows cannot stand in a JSON string.
std::string jsonText(const std::string& text)
{
  static const char hex[] = "0123456789abcdef";
  std::string escaped;
  for (const char byte : StringUtils::jsonEscape(text)) {
    const auto c = static_cast<unsigned char>(byte);
    if (c < 0x20) {
      escaped += "\\u00";
      escaped += hex[c >> 4];
      escaped += hex[c & 0x0f];
    } else {
      escaped += byte;
    }
  }
  return escaped;
}

} // namespace

std::vector<std::string> browseArguments(const std::string& toolsDirectory)
{
  return {toolsDirectory + "mDNSClient", "-t", "2", "-p", "-s", "_axis-video._tcp.local"};
}

std::string fromToolOutput(const std::string& output)
{
  std::string list;
  for (const std::string& line : StringUtils::split(output, '\n')) {
    std::vector<std::string> fields;
    StringUtils::split(line, ';', fields, 2);
    if (fields.size() < 2) {
      continue;
    }
    const std::string& name = fields[0];
    const std::string& address = fields[1];
    if (StringUtils::toLowerCopy(name).find("axis") == std::string::npos ||
        address.rfind("169.254.", 0) == 0) {
      continue;
    }
    if (!list.empty()) {
      list += ",";
    }
    list += "{\"name\":\"" + jsonText(name) + "\",\"ip\":\"" + jsonText(address) + "\"}";
  }
  return "{\"camera_list\":[" + list + "]}";
}

} // namespace CameraList
