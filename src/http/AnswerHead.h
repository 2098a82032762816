#pragma once

#include "http/HttpWriter.h"

#include <cstdint>
#include <string>
#include <vector>

// The status line and headers of an answer the front end writes itself, framed as
// libmicrohttpd frames its answers, so that a client cannot tell which of the two answered.
struct AnswerHead {
  // How the body that follows the head is delimited: UntilClose for an HTTP/1.0 client that
  // cannot read chunks, when the length is not known.
  using Framing = HttpWriter::Framing;

  unsigned status = 200;
  // The head passes on an upstream's answer, with its fields in the order they came
  // (`sentFields` reads them from libcurl's lines). Content-Length, Transfer-Encoding and
  // Connection among them are replaced by this head's own; fields without a value are left out.
  bool fromUpstream = false;
  HttpWriter::Fields upstreamFields;
  // Extra headers, such as a Content-Type of the front end's own answer.
  std::vector<std::pair<std::string, std::string>> headers;
  Framing framing = Framing::Length;
  uint64_t contentLength = 0;
  // The connection ends after this answer: asked for by the client, or by the upstream's
  // "Connection: close" (which `text` notes here).
  bool close = false;
  // The answer to a HEAD request: it has no body, and the upstream's Content-Length says what
  // the GET would have brought, so that line is kept and no framing of this head's is added.
  bool toHead = false;

  // Appends the whole head, its empty line included. 1xx, 204 and 304 answers have no body,
  // so no framing header.
  void appendTo(std::string& out);
  // Whether an answer with `status` carries a body.
  static bool hasBody(unsigned status);
};
