// Drives the HTTP/1.1 codec in both directions through the front end's own readers and
// writers. Random bytes are read as a client's request head and chunked body, and as a
// package's answer; what is read must be read the same whether it arrives whole or in
// pieces. What the front end then writes of it (the request it forwards, the answer head and
// body framing it gives the client) must read back as what was written.

#include "http/AnswerHead.h"
#include "http/UpstreamHeadLines.h"
#include "http/ChunkedDecoder.h"
#include "http/HttpWriter.h"
#include "http/RequestHead.h"
#include "http/UpstreamResponse.h"
#include "util/Limits.h"
#include "util/StringUtils.h"

#include <algorithm>
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

bool isFraming(const std::string& name)
{
  const std::string lower = StringUtils::toLowerCopy(name);
  return lower == "content-length" || lower == "transfer-encoding" || lower == "connection";
}

// The request as the front end forwards it reads back as the request it took.
void checkRequest(std::string_view bytes, size_t seed)
{
  RequestHead head;
  if (RequestHead::parse(bytes, head) != RequestHead::Kind::Plain) {
    return;
  }
  check(head.length <= bytes.size() && bytes.substr(head.length - 4, 4) == "\r\n\r\n", "head end misplaced");
  check(head.method == "GET" || head.method == "HEAD" || head.method == "POST" || head.method == "PUT" ||
            head.method == "DELETE" || head.method == "PATCH" || head.method == "OPTIONS",
        "a method the front end cannot forward");
  check(head.contentLength <= Limits::maxRequestBodyBytes, "body over the limit taken");
  check(!head.chunked || head.contentLength == 0, "a chunked body with a length taken");
  check(!head.chunked || !head.http10, "a chunked HTTP/1.0 body taken");
  check(head.target.find_first_of(std::string_view(" \r\n\0", 4)) == std::string::npos,
        "a target with a break");

  std::string body;
  if (head.chunked) {
    const std::string_view rest = bytes.substr(head.length);
    ChunkedDecoder whole;
    const size_t wholeTaken = whole.read(rest.data(), rest.size(), body);
    ChunkedDecoder pieces;
    std::string piecesBody;
    size_t piecesTaken = 0;
    while (piecesTaken < rest.size() && pieces.state() == ChunkedDecoder::State::Reading) {
      piecesTaken += pieces.read(rest.data() + piecesTaken,
                                 std::min<size_t>(1 + seed % 5, rest.size() - piecesTaken), piecesBody);
    }
    check(whole.state() == pieces.state() && body == piecesBody && wholeTaken == piecesTaken,
          "a chunked body depends on the pieces");
    check(body.size() <= rest.size(), "a body larger than its bytes");
  } else {
    body = std::string(bytes.substr(head.length, std::min(head.contentLength, bytes.size() - head.length)));
  }

  HttpWriter::Fields fields;
  for (const auto& field : head.fields) {
    if (!isFraming(field.first)) {
      fields.push_back(field);
    }
  }
  std::string forwarded;
  HttpWriter::appendHead(forwarded, head.method + " " + head.target + " HTTP/1.1", fields,
                         HttpWriter::Framing::Length, body.size());
  forwarded += body;
  RequestHead again;
  check(RequestHead::parse(forwarded, again) == RequestHead::Kind::Plain, "a forwarded request is refused");
  check(again.method == head.method && again.target == head.target, "the request line changed on its way");
  check(again.contentLength == body.size() && !again.chunked, "the forwarded body is framed otherwise");
  HttpWriter::Fields readBack;
  for (const auto& field : again.fields) {
    if (!isFraming(field.first)) {
      readBack.push_back(field);
    }
  }
  check(readBack == fields, "the forwarded headers changed on their way");
}

// The answer as the front end gives it to a client reads back as the answer it read.
void checkAnswer(std::string_view bytes, size_t seed)
{
  Reading whole;
  readInPieces(whole, bytes, bytes.empty() ? 1 : bytes.size());
  Reading pieces;
  readInPieces(pieces, bytes, 1 + seed % 7);
  check(whole.response.state() == pieces.response.state(), "state depends on the pieces");
  check(whole.body == pieces.body && whole.taken == pieces.taken, "body depends on the pieces");
  check(whole.response.status() == pieces.response.status() &&
            whole.response.headerLines() == pieces.response.headerLines(),
        "head depends on the pieces");
  if (whole.response.state() != UpstreamResponse::State::Done) {
    return;
  }
  check(whole.response.status() >= 200 && whole.response.status() <= 599, "an answer without a final status");
  const std::vector<std::string>& lines = whole.response.headerLines();
  check(!lines.empty() && lines.front().rfind("HTTP/1.", 0) == 0, "an interim head in the final one");

  AnswerHead head;
  head.status = static_cast<unsigned>(whole.response.status());
  head.fromUpstream = true;
  head.upstreamFields = whole.response.fields();
  head.framing = seed % 2 == 0 ? AnswerHead::Framing::Chunked : AnswerHead::Framing::Length;
  head.contentLength = whole.body.size();
  std::string given;
  head.appendTo(given);
  const bool hasBody = AnswerHead::hasBody(head.status);
  if (hasBody) {
    // Written in two pieces, as a streamed answer is.
    const size_t half = whole.body.size() / 2;
    HttpWriter::appendBody(given, head.framing, whole.body.data(), half);
    HttpWriter::appendBody(given, head.framing, whole.body.data() + half, whole.body.size() - half);
    HttpWriter::appendEnd(given, head.framing);
  }
  given += "NEXT";
  Reading client;
  readInPieces(client, given, 1 + seed % 3);
  check(client.response.state() == UpstreamResponse::State::Done, "a given answer does not end");
  check(given.substr(client.taken) == "NEXT", "a given answer ends elsewhere");
  check(static_cast<unsigned>(client.response.status()) == head.status, "the status changed on its way");
  check(!hasBody || client.body == whole.body, "the body changed on its way");
  auto withoutFraming = [](const std::vector<std::string>& headerLines) {
    std::vector<std::pair<std::string, std::string>> kept;
    for (const auto& header : headersFromLines(headerLines)) {
      const std::string name = StringUtils::toLowerCopy(header.first);
      if (!isFraming(name) && name != "date") {
        kept.push_back(header);
      }
    }
    return kept;
  };
  check(withoutFraming(client.response.headerLines()) == withoutFraming(lines),
        "the headers changed on their way");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t seed = size == 0 ? 0 : data[0];
  checkRequest(bytes, seed);
  checkAnswer(bytes, seed);
  return 0;
}
