#include "packages/PackageLog.h"

#include <algorithm>
#include <chrono>

PackageLog::PackageLog(size_t capacityBytes) : capacity(capacityBytes) {}

void PackageLog::add(Stream stream, const std::string& text)
{
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  // A line that could never fit is kept shortened rather than emptying the ring for nothing.
  const size_t room = capacity > lineOverheadBytes ? capacity - lineOverheadBytes : 0;
  std::string kept = text.size() > room ? text.substr(0, room) : text;
  const size_t cost = kept.size() + lineOverheadBytes;

  std::lock_guard<std::mutex> lock(mutex);
  while (!lines.empty() && used + cost > capacity) {
    used -= lines.front().text.size() + lineOverheadBytes;
    lines.pop_front();
  }
  lines.push_back(Line{++lastSeq, now, stream, std::move(kept)});
  used += cost;
}

PackageLog::Page PackageLog::read(uint64_t after, size_t limit) const
{
  std::lock_guard<std::mutex> lock(mutex);
  Page page;
  const uint64_t firstSeq = lines.empty() ? lastSeq + 1 : lines.front().seq;
  if (firstSeq > after + 1) {
    page.dropped = firstSeq - after - 1;
  }
  // Sequence numbers in the ring are consecutive, so the first line wanted is found by
  // arithmetic.
  const uint64_t start = std::max(after + 1, firstSeq) - firstSeq;
  for (uint64_t index = start; index < lines.size() && page.lines.size() < limit; ++index) {
    page.lines.push_back(lines[index]);
  }
  page.next = page.lines.empty() ? std::min(after, lastSeq) : page.lines.back().seq;
  return page;
}

size_t PackageLog::bytes() const
{
  std::lock_guard<std::mutex> lock(mutex);
  return used;
}

const char* PackageLog::streamName(Stream stream)
{
  switch (stream) {
  case Stream::Out:
    return "out";
  case Stream::Err:
    return "err";
  case Stream::Orvane:
    break;
  }
  return "orvane";
}
