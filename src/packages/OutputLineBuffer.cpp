#include "packages/OutputLineBuffer.h"

#include <cstring>

OutputLineBuffer::OutputLineBuffer(size_t maxLineLength, LineHandler onLine, CutHandler onCut)
    : maxLineLength(maxLineLength), onLine(std::move(onLine)), onCut(std::move(onCut))
{
  pending.reserve(256);
}

void OutputLineBuffer::append(const char* data, size_t size)
{
  while (size > 0) {
    const char* newline = static_cast<const char*>(memchr(data, '\n', size));
    const size_t pieceLength = newline != nullptr ? static_cast<size_t>(newline - data) : size;

    if (cutting) {
      dropped += pieceLength;
    } else {
      const size_t room = maxLineLength - pending.size();
      if (pieceLength < room || (newline != nullptr && pieceLength == room)) {
        pending.append(data, pieceLength);
      } else {
        pending.append(data, room);
        dropped = pieceLength - room;
        cutting = true;
        onLine(pending);
        pending.clear();
      }
    }

    if (newline == nullptr) {
      return;
    }
    if (cutting) {
      flushCut();
    } else {
      onLine(pending);
      pending.clear();
    }
    data += pieceLength + 1;
    size -= pieceLength + 1;
  }
}

void OutputLineBuffer::flushCut()
{
  if (!cutting) {
    return;
  }
  cutting = false;
  const size_t count = dropped;
  dropped = 0;
  if (count > 0) {
    onCut(count);
  }
}
