#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Cuts a byte stream into lines. Memory stays bounded: a line that reaches
// `maxLineLength` bytes without a newline is handed on at that length, the rest of it is
// dropped, and the number of dropped bytes is reported once its newline arrives (or on
// flushCut()).
class OutputLineBuffer {
public:
  using LineHandler = std::function<void(const std::string& line)>;
  using CutHandler = std::function<void(size_t droppedBytes)>;

  OutputLineBuffer(size_t maxLineLength, LineHandler onLine, CutHandler onCut);

  // Takes `size` more bytes; calls onLine for every line completed (without its newline).
  void append(const char* data, size_t size);

  // Reports the bytes dropped from a line that has not ended yet, if any. Text after the
  // last newline that was not cut stays unreported, as an unfinished line.
  void flushCut();

  size_t buffered() const { return pending.size(); }

private:
  const size_t maxLineLength;
  LineHandler onLine;
  CutHandler onCut;
  std::string pending;
  bool cutting = false;
  size_t dropped = 0;
};
