#pragma once

#include "http/HttpCodec.h"

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// An HTTP/1.x answer of a package's server read as it arrives: the final head (its fields as
// read, or as the header lines libcurl hands over, its status line and the empty line that
// ends it included, for code that takes both alike), then the body with its framing taken
// off. Interim 1xx heads are read and dropped. A status outside 100 to 599, two
// Content-Length values, or a Content-Length beside a Transfer-Encoding fail the answer.
// Failures are named by libcurl's codes, so that they are reported in the same words
// whichever client met them.
class UpstreamResponse {
public:
  enum class State { Head, Body, Done, Failed };

  UpstreamResponse();

  // The request was a HEAD: the answer ends with its head, whatever framing it announces.
  void answersHead() { codec->skipBody(); }
  // Reads the next `size` bytes; body bytes are appended to `body`. Returns the bytes taken:
  // fewer than `size` only once the answer is done (the rest is not this answer's) or failed.
  size_t read(const char* data, size_t size, std::string& body);
  // The upstream closed the connection: ends a body that runs until then, fails any other
  // answer not yet done.
  void closed();

  State state() const { return current; }
  CURLcode error() const { return failure; }
  // Valid once the head is read.
  int status() const { return codec->status(); }
  // The final head's fields in the order they came, once the head is read (empty before).
  const HttpCodec::Fields& fields() const;
  // The fields taken out, once the answer is done: fields() and headerLines() are empty after.
  HttpCodec::Fields takeFields();
  // The same head as libcurl's lines, made when first asked for.
  const std::vector<std::string>& headerLines() const;
  // The body's length as announced, -1 when it is not.
  int64_t announcedLength() const;
  // Whether the connection may carry another request once this answer is done.
  bool reusable() const { return current == State::Done && codec->keepAlive(); }
  // Whether any byte of an answer arrived.
  bool started() const { return codec->started(); }

private:
  void fail(CURLcode code);
  void follow();

  std::unique_ptr<HttpCodec> codec;
  State current = State::Head;
  CURLcode failure = CURLE_OK;
  // The final head was read whole (also when the body then failed in the same read).
  bool headKept = false;
  mutable std::vector<std::string> lines;
};
