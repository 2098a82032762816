#include "http/AnswerHead.h"

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

void AnswerHead::appendTo(std::string& out)
{
  bool dated = false;
  for (const auto& header : headers) {
    dated = dated || StringUtils::equalsLowerCase(header.first, "date");
  }
  // Which of the upstream's fields go on; the framing is this head's own.
  auto passedOn = [this](const std::pair<std::string, std::string>& field) {
    return !field.second.empty() && !StringUtils::equalsLowerCase(field.first, "connection") &&
           (toHead || (!StringUtils::equalsLowerCase(field.first, "content-length") &&
                       !StringUtils::equalsLowerCase(field.first, "transfer-encoding")));
  };
  for (const auto& field : upstreamFields) {
    if (StringUtils::equalsLowerCase(field.first, "connection")) {
      close = close || StringUtils::toLowerCopy(field.second).find("close") != std::string::npos;
    } else if (passedOn(field)) {
      dated = dated || StringUtils::equalsLowerCase(field.first, "date");
    }
  }
  const char* reason = MHD_get_reason_phrase_for(status);
  out += "HTTP/1.1 ";
  out += std::to_string(status);
  out += ' ';
  out += reason != nullptr ? reason : "";
  out += "\r\n";
  if (close) {
    HttpWriter::appendField(out, "Connection", "close");
  }
  for (const auto& header : headers) {
    HttpWriter::appendField(out, header.first, header.second);
  }
  // In the order the upstream sent them: the order of repeated fields is part of their meaning.
  for (const auto& field : upstreamFields) {
    if (passedOn(field)) {
      HttpWriter::appendField(out, field.first, field.second);
    }
  }
  if (!dated) {
    HttpWriter::appendField(out, "Date", currentHttpDate());
  }
  HttpWriter::appendEndOfHead(out, hasBody(status) && !toHead ? framing : Framing::None, contentLength);
}
