#include "http/UpstreamHeadLines.h"

#include "http/HttpCodec.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

// Reads the last head of libcurl's header lines: its fields, and the length its
// Content-Length announces (-1 when none does, or the body came chunked).
HttpCodec::Fields readLastHead(const std::vector<std::string>& lines, int64_t& length)
{
  size_t size = 0;
  for (const std::string& line : lines) {
    size += line.size();
  }
  std::string text;
  text.reserve(size);
  for (const std::string& line : lines) {
    // libcurl gives an HTTP/2 or HTTP/3 answer's head in HTTP/1.1's shape but for the version.
    if (line.compare(0, 7, "HTTP/2 ") == 0 || line.compare(0, 7, "HTTP/3 ") == 0) {
      text += "HTTP/1.1" + line.substr(6);
    } else {
      text += line;
    }
  }
  // Each head libcurl read (those of the redirects it followed among them) is an answer of its
  // own without a body; the codec drops interim heads, and the last head read counts.
  HttpCodec::Fields fields;
  length = -1;
  size_t offset = 0;
  while (offset < text.size()) {
    HttpCodec codec(HttpCodec::Type::Answer);
    codec.skipBody();
    std::string none;
    offset += codec.read(text.data() + offset, text.size() - offset, none);
    // A broken head keeps the lines read before the break.
    fields = codec.takeFields();
    length = codec.hasContentLength() && !codec.chunked() ? static_cast<int64_t>(codec.contentLength()) : -1;
    if (codec.state() != HttpCodec::State::Done) {
      break;
    }
  }
  return fields;
}

// The fields that carry a name and a value.
HttpCodec::Fields& dropEmpty(HttpCodec::Fields& fields)
{
  fields.erase(std::remove_if(fields.begin(), fields.end(),
                              [](const auto& field) { return field.first.empty() || field.second.empty(); }),
               fields.end());
  return fields;
}

} // namespace

UpstreamHead readUpstreamHead(const std::vector<std::string>& lines)
{
  UpstreamHead head;
  HttpCodec::Fields fields = readLastHead(lines, head.bodyLength);
  dropEmpty(fields);
  head.headers.assign(std::make_move_iterator(fields.rbegin()), std::make_move_iterator(fields.rend()));
  return head;
}

std::vector<std::pair<std::string, std::string>> headersFromLines(const std::vector<std::string>& lines)
{
  return readUpstreamHead(lines).headers;
}

std::vector<std::pair<std::string, std::string>> sentFields(const std::vector<std::string>& lines)
{
  int64_t length = -1;
  HttpCodec::Fields fields = readLastHead(lines, length);
  return dropEmpty(fields);
}
