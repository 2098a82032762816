#include "http/AnswerHead.h"
#include "http/UpstreamHeadLines.h"

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

} // namespace

bool AnswerHead::hasBody(unsigned status)
{
  return status >= 200 && status != 204 && status != 304;
}

std::string AnswerHead::text()
{
  HttpWriter::Fields fields;
  fields.reserve(headers.size() + headerLines.size() + 2);
  bool dated = false;
  for (const auto& header : headers) {
    dated = dated || StringUtils::toLowerCopy(header.first) == "date";
    fields.push_back(header);
  }
  // In the order the upstream sent them: the order of repeated fields is part of their meaning.
  std::vector<std::pair<std::string, std::string>> upstream = headersFromLines(headerLines);
  for (auto header = upstream.rbegin(); header != upstream.rend(); ++header) {
    const std::string name = StringUtils::toLowerCopy(header->first);
    if (name == "connection") {
      close = close || StringUtils::toLowerCopy(header->second).find("close") != std::string::npos;
    } else if ((name != "content-length" && name != "transfer-encoding") || toHead) {
      dated = dated || name == "date";
      fields.push_back(std::move(*header));
    }
  }
  if (close) {
    fields.insert(fields.begin(), {"Connection", "close"});
  }
  if (!dated) {
    fields.emplace_back("Date", currentHttpDate());
  }
  const char* reason = MHD_get_reason_phrase_for(status);
  const Framing framed = hasBody(status) && !toHead ? framing : Framing::None;
  std::string head;
  HttpWriter::appendHead(head, "HTTP/1.1 " + std::to_string(status) + " " + (reason != nullptr ? reason : ""),
                         fields, framed, contentLength);
  return head;
}
