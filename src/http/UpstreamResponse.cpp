#include "http/UpstreamResponse.h"

#include "camera/HttpManager.h"
#include "util/Limits.h"
#include "util/StringUtils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

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
      taken += chunks.read(data + taken, size - taken, body);
      if (chunks.state() == ChunkedDecoder::State::Failed) {
        fail(CURLE_RECV_ERROR);
      } else if (chunks.state() == ChunkedDecoder::State::Done) {
        current = State::Done;
      }
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
  if (statusCode == 204 || statusCode == 304 || toHead) {
    // What a HEAD's answer announces is the GET's body; it is kept for the client.
    if (!toHead) {
      length = 0;
    }
    current = State::Done;
    return true;
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

void UpstreamResponse::closed()
{
  keepAlive = false;
  if (current == State::Body && untilClose) {
    current = State::Done;
  } else if (current == State::Head || current == State::Body) {
    fail(!receivedAny ? CURLE_GOT_NOTHING : current == State::Head ? CURLE_RECV_ERROR : CURLE_PARTIAL_FILE);
  }
}
