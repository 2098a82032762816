// Feeds random request lines' paths through what the server does with them before a handler
// touches a file or a package: the decoding, the choice of route and the UI file path. Checks
// that the answer to an unknown path is valid JSON carrying the path unchanged, and that a UI
// file path judged plain can never leave the package's directory.

#include "http/HttpServer.h"
#include "http/JsonStatus.h"
#include "http/RequestData.h"
#include "http/Routing.h"
#include "http/UiFile.h"
#include "util/Json.h"
#include "util/StringUtils.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace {

void check(bool holds, const char* what, const std::string& url)
{
  if (!holds) {
    std::fprintf(stderr, "%s: %s\n", what, url.c_str());
    std::abort();
  }
}

void checkStatusBody(unsigned code, const std::string& message, const std::string& url)
{
  rapidjson::Document document;
  const std::string body = jsonStatusBody(code, message);
  check(!Json::parse(document, body, std::numeric_limits<size_t>::max()), "status body is no JSON", url);
  check(document.IsObject() && document.HasMember("status") && document["status"].IsUint() &&
            document["status"].GetUint() == code,
        "status body without its code", url);
  check(document.HasMember("message") && document["message"].IsString() &&
            std::string(document["message"].GetString(), document["message"].GetStringLength()) == message,
        "status body changed the message", url);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  // The path arrives as a C string and is decoded in place, as the server does.
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  const std::string url(text.data(), percentDecode(text.data()));

  Routing::findRoute(url);
  // Every error message built from a path holds a part of it; the whole path stands for all.
  checkStatusBody(400, HttpServer::unknownRequestMessage(url), url);

  const UiFile::Route ui = UiFile::route(url);
  if (ui.valid && UiFile::isPlainRelativePath(ui.filePath)) {
    check(ui.filePath.front() != '/' && ui.filePath.find('\0') == std::string::npos, "UI path not relative",
          url);
    for (const std::string& piece : StringUtils::split(ui.filePath, '/')) {
      check(!piece.empty() && piece != "..", "UI path leaves its directory", url);
    }
  }
  return 0;
}
