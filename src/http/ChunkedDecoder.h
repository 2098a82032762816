#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The chunked framing of an HTTP/1.1 body taken off as the bytes arrive, for a client's
// request body and a package's answer alike. Strict: every framing line ends with CRLF, a
// chunk size is at most 15 hex digits (blanks may stand before its extensions), the data of
// each chunk is followed by CRLF, and size lines and trailers are bounded.
class ChunkedDecoder {
public:
  enum class State { Reading, Done, Failed };

  // Reads the next `size` bytes of `data`, appending chunk data to `body`. Returns the bytes
  // taken: fewer than `size` only once the body is done (the rest is not this body's) or the
  // framing failed.
  size_t read(const char* data, size_t size, std::string& body);

  State state() const { return current; }

private:
  enum class Part { Size, Data, DataEnd, Trailer };

  // Ends the framing line in `line`; false when it breaks the rules.
  bool endLine();

  State current = State::Reading;
  Part part = Part::Size;
  std::string line;
  uint64_t left = 0;
  size_t trailerBytes = 0;
};
