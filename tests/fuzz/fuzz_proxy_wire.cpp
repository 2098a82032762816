// Feeds random bytes to the proxy front end's two readers: as a client's request head, and as
// a package's answer. A head taken as plain must be one the front end can forward; an answer
// must read the same whether it arrives whole or in pieces.

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
    check(head.method == "GET" || head.method == "POST", "a method the front end cannot forward");
    check(head.contentLength <= Limits::maxRequestBodyBytes, "body over the limit taken");
    check(head.method == "POST" || head.contentLength == 0, "a GET with a body taken");
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
  return 0;
}
