#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

// The head of an HTTP request read from a connection's receive queue without taking it, so
// that a request the front end leaves alone reaches libmicrohttpd whole. Only plain requests
// are recognised: GET or POST, HTTP/1.1, a Content-Length body of at most
// Limits::maxRequestBodyBytes (none for a GET), no Transfer-Encoding, Expect or Upgrade, no
// folded lines. Anything else, valid or not, is the library's to answer.
struct RequestHead {
  enum class Kind {
    // The bytes end before the empty line that ends a head.
    Incomplete,
    Plain,
    Other,
  };

  std::string method;
  // The path as sent, percent-decoded as the library decodes it.
  std::string path;
  // Query arguments as the library gives them: "+" is a space, a name without "=" has no value
  // and is left out, a later value replaces an earlier one.
  std::map<std::string, std::string> arguments;
  // Header values trimmed, under lower-cased names; the last of a repeated header counts.
  std::map<std::string, std::string> headers;
  size_t contentLength = 0;
  // The client asked for the connection to end after this request.
  bool close = false;
  // Bytes of the head, its empty line included.
  size_t length = 0;

  // Reads the head at the start of `bytes`.
  static Kind parse(std::string_view bytes, RequestHead& head);
};

// Adds the arguments of a query string (what follows "?") to `arguments`, as RequestHead does.
void addQueryArguments(std::string_view query, std::map<std::string, std::string>& arguments);
