// Feeds random bytes to the proxy front end's readers: as a client's request head and its
// chunked body, and as a package's answer. A head taken as plain must be one the front end can
// forward; a body and an answer must read the same whether they arrive whole or in pieces, and
// an answer that got past its head has a final status.

#include "http/ChunkedDecoder.h"
#include "http/RequestHead.h"
#include "http/UpstreamResponse.h"
#include "util/Limits.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool holds, const char* what)
{
  if (!holds) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
  }
}

struct Reading {
  UpstreamResponse response;
  std::string body;
  size_t taken = 0;
};

void readInPieces(Reading& reading, std::string_view bytes, size_t piece)
{
  while (reading.taken < bytes.size() && (reading.response.state() == UpstreamResponse::State::Head ||
                                          reading.response.state() == UpstreamResponse::State::Body)) {
    const size_t size = std::min(piece, bytes.size() - reading.taken);
    const size_t taken = reading.response.read(bytes.data() + reading.taken, size, reading.body);
    check(taken <= size, "took more than it was given");
    reading.taken += taken;
  }
  reading.response.closed();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  RequestHead head;
  if (RequestHead::parse(bytes, head) == RequestHead::Kind::Plain) {
    check(head.length <= size && bytes.substr(head.length - 4, 4) == "\r\n\r\n", "head end misplaced");
    check(head.method == "GET" || head.method == "HEAD" || head.method == "POST" || head.method == "PUT" ||
              head.method == "DELETE" || head.method == "PATCH" || head.method == "OPTIONS",
          "a method the front end cannot forward");
    check(head.contentLength <= Limits::maxRequestBodyBytes, "body over the limit taken");
    check(!head.chunked || head.contentLength == 0, "a chunked body with a length taken");
    check(!head.chunked || !head.http10, "a chunked HTTP/1.0 body taken");
    check(head.target.find_first_of(std::string_view(" \r\n\0", 4)) == std::string::npos,
          "a target with a break");
    if (head.chunked) {
      const std::string_view rest = bytes.substr(head.length);
      ChunkedDecoder whole;
      std::string wholeBody;
      const size_t wholeTaken = whole.read(rest.data(), rest.size(), wholeBody);
      ChunkedDecoder pieces;
      std::string piecesBody;
      size_t piecesTaken = 0;
      while (piecesTaken < rest.size() && pieces.state() == ChunkedDecoder::State::Reading) {
        piecesTaken += pieces.read(rest.data() + piecesTaken,
                                   std::min<size_t>(1 + size % 5, rest.size() - piecesTaken), piecesBody);
      }
      check(whole.state() == pieces.state() && wholeBody == piecesBody && wholeTaken == piecesTaken,
            "a chunked body depends on the pieces");
      check(wholeBody.size() <= rest.size(), "a body larger than its bytes");
    }
  }

  Reading whole;
  readInPieces(whole, bytes, size == 0 ? 1 : size);
  Reading pieces;
  readInPieces(pieces, bytes, size == 0 ? 1 : 1 + data[0] % 7);
  check(whole.response.state() == pieces.response.state(), "state depends on the pieces");
  check(whole.body == pieces.body && whole.taken == pieces.taken, "body depends on the pieces");
  check(whole.response.status() == pieces.response.status() &&
            whole.response.headerLines() == pieces.response.headerLines(),
        "head depends on the pieces");
  if (whole.response.state() == UpstreamResponse::State::Body ||
      whole.response.state() == UpstreamResponse::State::Done) {
    check(whole.response.status() >= 200 && whole.response.status() <= 599,
          "an answer without a final status");
    check(!whole.response.headerLines().empty() &&
              whole.response.headerLines().front().rfind("HTTP/1.", 0) == 0,
          "an interim head in the final one");
  }
  return 0;
}
