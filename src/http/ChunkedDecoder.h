#pragma once

#include "http/HttpCodec.h"

#include <cstddef>
#include <memory>
#include <string>

// The chunked framing of a client's request body taken off as the bytes arrive, by the codec
// that reads request heads, so that both agree on where the body ends. Strict: every framing line
// ends with CRLF, a chunk size is at most 15 hex digits, the data of each chunk is followed
// by CRLF, and extensions and trailers are bounded.
class ChunkedDecoder {
public:
  enum class State { Reading, Done, Failed };

  // Reads the next `size` bytes of `data`, appending chunk data to `body`. Returns the bytes
  // taken: fewer than `size` only once the body is done (the rest is not this body's) or the
  // framing failed.
  size_t read(const char* data, size_t size, std::string& body);

  State state() const;

private:
  std::unique_ptr<HttpCodec> codec;
};
