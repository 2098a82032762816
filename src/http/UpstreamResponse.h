#pragma once

#include "http/ChunkedDecoder.h"

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An HTTP/1.x answer of a package's server read as it arrives: the header lines of the final
// head as libcurl hands them over (its status line and the empty line that ends it included,
// so that the proxy treats both alike), then the body with its framing taken off. Interim 1xx
// heads are read and dropped. A status outside 100 to 599, two different Content-Length
// values, or a Content-Length beside a Transfer-Encoding fail the answer. Failures are named by libcurl's
// codes, so that they are reported in the same words whichever client met them.
class UpstreamResponse {
public:
  enum class State { Head, Body, Done, Failed };

  // The request was a HEAD: the answer ends with its head, whatever framing it announces.
  void answersHead() { toHead = true; }
  // Reads the next `size` bytes; body bytes are appended to `body`. Returns the bytes taken:
  // fewer than `size` only once the answer is done (the rest is not this answer's) or failed.
  size_t read(const char* data, size_t size, std::string& body);
  // The upstream closed the connection: ends a body that runs until then, fails any other
  // answer not yet done.
  void closed();

  State state() const { return current; }
  CURLcode error() const { return failure; }
  // Valid once the head is read.
  int status() const { return statusCode; }
  const std::vector<std::string>& headerLines() const { return lines; }
  // The body's length as announced, -1 when it is not.
  int64_t announcedLength() const { return chunked ? -1 : length; }
  // Whether the connection may carry another request once this answer is done.
  bool reusable() const { return keepAlive; }
  // Whether any byte of an answer arrived.
  bool started() const { return receivedAny; }

private:
  size_t readHead(const char* data, size_t size);
  bool endHead();
  void fail(CURLcode code);

  State current = State::Head;
  CURLcode failure = CURLE_OK;
  bool receivedAny = false;
  std::string line;
  std::vector<std::string> lines;
  size_t headBytes = 0;
  int statusCode = 0;
  bool http11 = false;
  bool keepAlive = false;
  bool chunked = false;
  bool untilClose = false;
  int64_t length = -1;
  int64_t left = 0;
  bool toHead = false;
  ChunkedDecoder chunks;
};
