#include "http/AnswerHead.h"

#include "http/HttpServer.h"
#include "util/StringUtils.h"

#include <microhttpd.h>

#include <ctime>

namespace {

// Every answer needs the date, and it changes once a second: formatted once a second per thread.
const std::string& currentHttpDate()
{
  thread_local std::time_t formattedAt = 0;
  thread_local std::string formatted;
  const std::time_t now = std::time(nullptr);
  if (now != formattedAt) {
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[64];
    const size_t length = std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    formatted.assign(text, length);
    formattedAt = now;
  }
  return formatted;
}

bool isSafeHeaderText(const std::string& text)
{
  return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

} // namespace

bool AnswerHead::hasBody(unsigned status)
{
  return status >= 200 && status != 204 && status != 304;
}

std::string AnswerHead::text()
{
  std::string lines;
  bool dated = false;
  auto add = [&lines, &dated](const std::string& name, const std::string& value) {
    // As the library refuses them: a line break would end the head early.
    if (!isSafeHeaderText(name) || !isSafeHeaderText(value)) {
      return;
    }
    dated = dated || StringUtils::toLowerCopy(name) == "date";
    lines += name + ": " + value + "\r\n";
  };
  for (const auto& header : headers) {
    add(header.first, header.second);
  }
  for (const auto& header : HttpServer::headersFromLines(headerLines)) {
    const std::string name = StringUtils::toLowerCopy(header.first);
    if (name == "connection") {
      close = close || StringUtils::toLowerCopy(header.second).find("close") != std::string::npos;
    } else if ((name != "content-length" && name != "transfer-encoding") || toHead) {
      add(header.first, header.second);
    }
  }
  const char* reason = MHD_get_reason_phrase_for(status);
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + (reason != nullptr ? reason : "") + "\r\n";
  if (close) {
    head += "Connection: close\r\n";
  }
  head += lines;
  if (!dated) {
    head += "Date: " + currentHttpDate() + "\r\n";
  }
  if (hasBody(status) && !toHead && framing != Framing::UntilClose) {
    head += framing == Framing::Chunked ? std::string("Transfer-Encoding: chunked\r\n")
                                        : "Content-Length: " + std::to_string(contentLength) + "\r\n";
  }
  return head + "\r\n";
}
