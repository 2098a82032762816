#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

// The recent lines of one package, kept in a ring bounded in bytes: what the program wrote
// on its standard output and standard error, and what Orvane says about it. Each line has
// a sequence number, so that a reader can ask for what came after the last line it saw.
// Safe to use from any thread.
class PackageLog {
public:
  enum class Stream { Out, Err, Orvane };

  struct Line {
    uint64_t seq = 0;
    int64_t timeMs = 0;
    Stream stream = Stream::Out;
    std::string text;
  };

  struct Page {
    std::vector<Line> lines;
    // The sequence number to ask after next time.
    uint64_t next = 0;
    // Lines after the one asked after that fell out of the ring before they were read.
    uint64_t dropped = 0;
  };

  // What one line costs besides its text: the record itself and the ring's share of it.
  static constexpr size_t lineOverheadBytes = sizeof(Line) + 2 * sizeof(void*);

  // Keeps the newest lines whose text and overhead together fit in `capacityBytes`.
  explicit PackageLog(size_t capacityBytes);

  // Adds a line with the current time, dropping the oldest lines to make room.
  void add(Stream stream, const std::string& text);

  // At most `limit` lines with sequence numbers above `after`, oldest first.
  Page read(uint64_t after, size_t limit) const;

  // Bytes held by the lines now in the ring, counted as for the capacity.
  size_t bytes() const;

  // "out", "err" or "orvane".
  static const char* streamName(Stream stream);

private:
  const size_t capacity;
  mutable std::mutex mutex;
  std::deque<Line> lines;
  size_t used = 0;
  uint64_t lastSeq = 0;
};
