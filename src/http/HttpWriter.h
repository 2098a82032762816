#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The one writer of HTTP/1.1 on the wire: the heads of the answers the front end gives and of
// the requests it forwards, and the framing of their bodies.
namespace HttpWriter {

// How a body is delimited. UntilClose: by the end of the connection, for an HTTP/1.0 client
// that cannot read chunks when the length is not known; None: the message has no body, or
// (the answer to a HEAD) its own fields already say what the body would be.
enum class Framing { Length, Chunked, UntilClose, None };

using Fields = std::vector<std::pair<std::string, std::string>>;

// Appends a head to `out`: `startLine`, each of `fields` as appendField writes it, then
// appendEndOfHead's lines.
void appendHead(std::string& out, std::string_view startLine, const Fields& fields, Framing framing,
                uint64_t length = 0);
// Appends one field line, unless its name is empty or a CR, LF or NUL in it would break the
// head (it would end the head early).
void appendField(std::string& out, std::string_view name, std::string_view value);
// Appends the field of `framing` (`length` for Length) and the empty line that ends a head.
void appendEndOfHead(std::string& out, Framing framing, uint64_t length = 0);
// Appends `size` bytes of a body framed as `framing`: a chunk of their own when Chunked.
void appendBody(std::string& out, Framing framing, const char* data, size_t size);
// Appends what ends a body framed as `framing`: the last chunk when Chunked, else nothing.
void appendEnd(std::string& out, Framing framing);

} // namespace HttpWriter
