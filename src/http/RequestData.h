#pragma once

#include "http/ArrivalRate.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace MPFD {
class Parser;
}
struct MHD_Response;

// Everything one HTTP request carries, gathered across the server's repeated callbacks.
// Lives from the first callback of its request to the completion callback. Touched by one
// thread at a time: the server's, or while the connection is suspended, the worker running
// its handler.
struct RequestData {
  std::string method;
  // The raw body of every request except the two uploads, which stream into `parser`.
  std::string body;
  // Set only for an upload to "/package/install.cgi" or "/package/data.cgi".
  std::shared_ptr<MPFD::Parser> parser;
  // Query arguments, and for a form-encoded body also the body's fields.
  std::map<std::string, std::string> arguments;
  // Request headers under lower-cased names.
  std::map<std::string, std::string> headers;

  // The request path, known once the request is complete.
  std::string url;
  // Set when the upload was refused while its body arrived; the rest of the body is then
  // read and dropped, and the request is answered with this message and status.
  std::string uploadError;
  int uploadErrorStatus = 0;
  // Set when a body that is not an upload grew beyond its limit: the rest of it is read and
  // dropped, and the request is answered 413.
  bool bodyTooLarge = false;
  // How fast the body arrives through the library: bytes so far, against the floor.
  uint64_t received = 0;
  ArrivalRate arrival;

  // A handler run on a worker cannot queue its answer: the answer waits here until the
  // connection, suspended meanwhile, is resumed and the server queues it.
  enum class Stage { Receiving, Handling, Answered };
  Stage stage = Stage::Receiving;
  struct ResponseDestroyer {
    void operator()(MHD_Response* response) const;
  };
  std::unique_ptr<MHD_Response, ResponseDestroyer> answer;
  unsigned answerCode = 0;
  // False when the handler failed to answer: the connection is then closed.
  bool answered = false;
  // Work left to the worker once the answer can be sent (the rest of a streamed body).
  std::function<void()> afterAnswer;

  // The argument `name` (exact key), or "" when there is none.
  std::string argument(const std::string& name) const;
  // The header `name` (any letter case), or "" when there is none.
  std::string header(const std::string& name) const;
};

// The fields of an application/x-www-form-urlencoded body in their order: the body is cut
// at every "&", a piece without "=" is skipped, the name is taken as it stands and the
// value is percent-decoded ("+" stays "+", "%00" gives a NUL inside the value).
std::vector<std::pair<std::string, std::string>> parseFormBody(const std::string& body);

// Decodes every "%HH" escape of the NUL-terminated `text` in place, except "%00", which
// stays as written, so that the result can be read as a C string without being cut short; a
// "%" without two hex digits after it is kept. Returns the new length. The server decodes URL
// paths and query arguments with it.
size_t percentDecode(char* text);
