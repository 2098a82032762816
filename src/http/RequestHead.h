#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The head of an HTTP request read from a connection's receive queue without taking it, so
// that a request the front end leaves alone reaches libmicrohttpd whole. Only requests the
// front end can forward are recognised: GET, HEAD, POST, PUT, DELETE, PATCH or OPTIONS,
// HTTP/1.1 or HTTP/1.0, a Content-Length body of at most Limits::maxRequestBodyBytes or a
// chunked one (HTTP/1.1 only, never both), no Expect but "100-continue", no folded lines,
// no control characters. Anything else, valid or not, is the library's to answer.
struct RequestHead {
  enum class Kind {
    // The bytes end before the empty line that ends a head.
    Incomplete,
    Plain,
    Other,
  };

  std::string method;
  // The request target as sent: path and query, still percent-encoded.
  std::string target;
  // The path as sent, percent-decoded as the library decodes it.
  std::string path;
  // Header values trimmed, under lower-cased names; the last of a repeated header counts.
  std::map<std::string, std::string> headers;
  // Every header line in order, its name as sent and its value trimmed.
  std::vector<std::pair<std::string, std::string>> fields;
  // The lower-cased tokens of the Connection header: headers named there are hop-by-hop.
  std::vector<std::string> connectionTokens;
  size_t contentLength = 0;
  // The body comes chunked, its length unknown.
  bool chunked = false;
  // The client waits for a "100 Continue" before it sends the body.
  bool expectContinue = false;
  // An HTTP/1.0 request: the connection ends after its answer, which is never chunked.
  bool http10 = false;
  // The client asked for the connection to end after this request.
  bool close = false;
  // Bytes of the head, its empty line included.
  size_t length = 0;

  // Reads the head at the start of `bytes`.
  static Kind parse(std::string_view bytes, RequestHead& head);
};
