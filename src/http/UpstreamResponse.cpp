#include "http/UpstreamResponse.h"

#include "camera/HttpManager.h"
#include "util/Limits.h"
#include "util/StringUtils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Longest line of a chunked body's framing: a size and its extensions, or a trailer.
constexpr size_t maxChunkLineBytes = 4096;

} // namespace

void UpstreamResponse::fail(CURLcode code)
{
  current = State::Failed;
  failure = code;
  keepAlive = false;
}

size_t UpstreamResponse::read(const char* data, size_t size, std::string& body)
{
  size_t taken = 0;
  receivedAny = receivedAny || size > 0;
  while (taken < size && (current == State::Head || current == State::Body)) {
    if (current == State::Head) {
      taken += readHead(data + taken, size - taken);
    } else if (chunked) {
      taken += readChunked(data + taken, size - taken, body);
    } else {
      const size_t count =
          untilClose ? size - taken : static_cast<size_t>(std::min<int64_t>(left, size - taken));
      body.append(data + taken, count);
      taken += count;
      left -= static_cast<int64_t>(count);
      if (!untilClose && left == 0) {
        current = State::Done;
      }
    }
  }
  return taken;
}

size_t UpstreamResponse::readHead(const char* data, size_t size)
{
  const char* end = static_cast<const char*>(std::memchr(data, '\n', size));
  const size_t count = end != nullptr ? static_cast<size_t>(end - data) + 1 : size;
  line.append(data, count);
  headBytes += count;
  if (headBytes > Limits::maxUpstreamHeadBytes) {
    fail(CURLE_WEIRD_SERVER_REPLY);
    return count;
  }
  if (end == nullptr) {
    return count;
  }
  lines.push_back(std::move(line));
  line.clear();
  const std::string& last = lines.back();
  if (lines.size() == 1) {
    // The status line: "HTTP/1.x NNN reason". A status outside 100 to 599 has no meaning a
    // client could act on, nor framing rules the proxy could follow.
    if (last.size() < 12 || last.compare(0, 7, "HTTP/1.") != 0 || last[8] != ' ' ||
        !std::all_of(last.begin() + 9, last.begin() + 12, [](char c) { return c >= '0' && c <= '9'; }) ||
        (last.size() > 12 && last[12] != ' ' && last[12] != '\r' && last[12] != '\n')) {
      fail(CURLE_WEIRD_SERVER_REPLY);
      return count;
    }
    http11 = last[7] == '1';
    statusCode = std::atoi(last.substr(9, 3).c_str());
    if (statusCode < 100 || statusCode > 599) {
      fail(CURLE_WEIRD_SERVER_REPLY);
    }
    return count;
  }
  if (last != "\r\n" && last != "\n") {
    return count;
  }
  if (!endHead()) {
    fail(CURLE_WEIRD_SERVER_REPLY);
  }
  return count;
}

// The head is complete: what frames the body, and whether the connection stays open.
bool UpstreamResponse::endHead()
{
  if (statusCode >= 100 && statusCode < 200) {
    if (statusCode == 101) {
      return false;
    }
    // An interim answer: nothing of it belongs to the final head that follows.
    lines.clear();
    return true;
  }
  bool closeAsked = false;
  bool keepAliveAsked = false;
  bool hasLength = false;
  bool hasEncoding = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string name;
    std::string value;
    HttpManager::parseHeaderLine(lines[i], name, value);
    StringUtils::toLower(name);
    if (name == "transfer-encoding") {
      hasEncoding = true;
      chunked = StringUtils::toLowerCopy(value).find("chunked") != std::string::npos;
    } else if (name == "content-length") {
      const std::optional<uint64_t> parsed = StringUtils::decimalDigits(value, 18);
      if (!parsed || (hasLength && static_cast<int64_t>(*parsed) != length)) {
        return false;
      }
      hasLength = true;
      length = static_cast<int64_t>(*parsed);
    } else if (name == "connection") {
      StringUtils::toLower(value);
      closeAsked = closeAsked || value.find("close") != std::string::npos;
      keepAliveAsked = keepAliveAsked || value.find("keep-alive") != std::string::npos;
    }
  }
  // Two framings at once leave the body's end to whichever the reader believes.
  if (hasLength && hasEncoding) {
    return false;
  }
  keepAlive = (http11 || keepAliveAsked) && !closeAsked;
  if (statusCode == 204 || statusCode == 304) {
    length = 0;
    chunked = false;
  }
  if (chunked) {
    current = State::Body;
    return true;
  }
  if (length == 0) {
    current = State::Done;
    return true;
  }
  if (length < 0) {
    untilClose = true;
    keepAlive = false;
  }
  left = length;
  current = State::Body;
  return true;
}

size_t UpstreamResponse::readChunked(const char* data, size_t size, std::string& body)
{
  if (chunk == ChunkState::Data) {
    const size_t count = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(size)));
    body.append(data, count);
    left -= static_cast<int64_t>(count);
    if (left == 0) {
      chunk = ChunkState::DataEnd;
    }
    return count;
  }
  const char* end = static_cast<const char*>(std::memchr(data, '\n', size));
  const size_t count = end != nullptr ? static_cast<size_t>(end - data) + 1 : size;
  line.append(data, count);
  if (line.size() > maxChunkLineBytes) {
    fail(CURLE_RECV_ERROR);
    return count;
  }
  if (end == nullptr) {
    return count;
  }
  std::string text = StringUtils::trimmed(line);
  line.clear();
  switch (chunk) {
  case ChunkState::Size: {
    // Blanks may stand between the size and its extensions.
    const std::string digits = StringUtils::trimmed(text.substr(0, text.find(';')));
    // Only hex digits: strtoull alone would take "-7" as a size near 2^64.
    if (digits.empty() || digits.size() > 15 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      fail(CURLE_RECV_ERROR);
      break;
    }
    const unsigned long long parsed = std::strtoull(digits.c_str(), nullptr, 16);
    if (parsed == 0) {
      chunk = ChunkState::Trailer;
    } else {
      left = static_cast<int64_t>(parsed);
      chunk = ChunkState::Data;
    }
    break;
  }
  case ChunkState::DataEnd:
    if (!text.empty()) {
      fail(CURLE_RECV_ERROR);
    }
    chunk = ChunkState::Size;
    break;
  case ChunkState::Trailer:
    if (text.empty()) {
      current = State::Done;
    }
    break;
  case ChunkState::Data:
    break;
  }
  return count;
}

void UpstreamResponse::closed()
{
  keepAlive = false;
  if (current == State::Body && untilClose) {
    current = State::Done;
  } else if (current == State::Head || current == State::Body) {
    fail(!receivedAny ? CURLE_GOT_NOTHING : current == State::Head ? CURLE_RECV_ERROR : CURLE_PARTIAL_FILE);
  }
}
