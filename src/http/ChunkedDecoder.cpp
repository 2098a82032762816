#include "http/ChunkedDecoder.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

// Longest framing line: a size with its extensions, or one trailer.
constexpr size_t maxLineBytes = 4096;
// All trailers of one body together.
constexpr size_t maxTrailerBytes = 4 * maxLineBytes;

bool isBlank(char c)
{
  return c == ' ' || c == '\t';
}

} // namespace

size_t ChunkedDecoder::read(const char* data, size_t size, std::string& body)
{
  size_t taken = 0;
  while (taken < size && current == State::Reading) {
    if (part == Part::Data) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(left, size - taken));
      body.append(data + taken, count);
      taken += count;
      left -= count;
      if (left == 0) {
        part = Part::DataEnd;
      }
      continue;
    }
    const char* start = data + taken;
    const char* end = static_cast<const char*>(std::memchr(start, '\n', size - taken));
    const size_t count = end != nullptr ? static_cast<size_t>(end - start) + 1 : size - taken;
    line.append(start, count);
    taken += count;
    if (line.size() > maxLineBytes) {
      current = State::Failed;
    } else if (end != nullptr && !endLine()) {
      current = State::Failed;
    }
  }
  return taken;
}

bool ChunkedDecoder::endLine()
{
  // A bare LF, or a CR or NUL inside, could end the line differently for another reader.
  if (line.size() < 2 || line[line.size() - 2] != '\r' ||
      std::find_if(line.begin(), line.end() - 2,
                   [](char c) { return c == '\r' || c == '\n' || c == '\0'; }) != line.end() - 2) {
    return false;
  }
  const std::string text = line.substr(0, line.size() - 2);
  line.clear();
  switch (part) {
  case Part::Size: {
    const size_t digits = static_cast<size_t>(
        std::find_if_not(text.begin(), text.end(),
                         [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }) -
        text.begin());
    size_t rest = digits;
    while (rest < text.size() && isBlank(text[rest])) {
      ++rest;
    }
    if (digits == 0 || digits > 15 || (rest < text.size() && text[rest] != ';')) {
      return false;
    }
    left = std::strtoull(text.substr(0, digits).c_str(), nullptr, 16);
    part = left == 0 ? Part::Trailer : Part::Data;
    return true;
  }
  case Part::DataEnd:
    part = Part::Size;
    return text.empty();
  case Part::Trailer:
    trailerBytes += text.size() + 2;
    if (text.empty()) {
      current = State::Done;
    }
    return trailerBytes <= maxTrailerBytes;
  case Part::Data:
    break;
  }
  return false;
}
