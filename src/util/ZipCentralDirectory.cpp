#include "util/ZipCentralDirectory.h"

#include <algorithm>
#include <utility>

namespace ZipCentralDirectory {
namespace {

constexpr uint32_t endSignature = 0x06054b50;
constexpr uint32_t zip64LocatorSignature = 0x07064b50;
constexpr uint32_t zip64EndSignature = 0x06064b50;
constexpr uint32_t centralSignature = 0x02014b50;
constexpr uint32_t localSignature = 0x04034b50;
constexpr size_t endSize = 22;
constexpr size_t zip64LocatorSize = 20;
constexpr size_t zip64EndSize = 56;
constexpr size_t centralHeaderSize = 46;
constexpr size_t localHeaderSize = 30;
constexpr size_t maxCommentLength = 65535;
constexpr uint16_t zip64ExtraId = 0x0001;
constexpr uint32_t zip64Marker32 = 0xffffffff;
constexpr uint16_t zip64Marker16 = 0xffff;
// Read ahead through the directory, whose headers follow one another; local headers lie
// between the entries' data, so reading far beyond one would mostly read data.
constexpr size_t directoryReadAhead = 64 * 1024;
constexpr size_t localHeaderReadAhead = 4 * 1024;

uint16_t le16(const unsigned char* p)
{
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const unsigned char* p)
{
  return static_cast<uint32_t>(le16(p)) | static_cast<uint32_t>(le16(p + 2)) << 16;
}

uint64_t le64(const unsigned char* p)
{
  return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

// Sequential reads of a directory that may be far larger than what is worth holding at once.
class Window {
public:
  Window(const ArchiveBytes& bytes, size_t readAhead) : bytes_(bytes), readAhead_(readAhead) {}

  // The `length` bytes at `offset`, valid until the next call; null when they are not all
  // in the archive.
  const unsigned char* at(uint64_t offset, size_t length)
  {
    if (offset >= start_ && offset - start_ + length <= buffer_.size()) {
      return buffer_.data() + (offset - start_);
    }
    const uint64_t total = bytes_.size();
    if (offset > total || length > total - offset) {
      return nullptr;
    }
    buffer_.resize(static_cast<size_t>(std::min<uint64_t>(std::max(length, readAhead_), total - offset)));
    start_ = offset;
    if (!bytes_.read(offset, buffer_.data(), buffer_.size())) {
      buffer_.clear();
      return nullptr;
    }
    return buffer_.data();
  }

private:
  const ArchiveBytes& bytes_;
  const size_t readAhead_;
  std::vector<unsigned char> buffer_;
  uint64_t start_ = 0;
};

struct Directory {
  uint64_t entries = 0;
  uint64_t offset = 0;
};

bool readZip64End(const ArchiveBytes& bytes, uint64_t endOffset, Directory& directory)
{
  unsigned char locator[zip64LocatorSize];
  if (endOffset < zip64LocatorSize || !bytes.read(endOffset - zip64LocatorSize, locator, sizeof locator) ||
      le32(locator) != zip64LocatorSignature) {
    return false;
  }
  unsigned char record[zip64EndSize];
  if (!bytes.read(le64(locator + 8), record, sizeof record) || le32(record) != zip64EndSignature) {
    return false;
  }
  directory.entries = le64(record + 32);
  directory.offset = le64(record + 48);
  return true;
}

bool findDirectory(const ArchiveBytes& bytes, Directory& directory)
{
  const uint64_t size = bytes.size();
  if (size < endSize) {
    return false;
  }
  const size_t tailLength = static_cast<size_t>(std::min<uint64_t>(size, endSize + maxCommentLength));
  const uint64_t tailStart = size - tailLength;
  std::vector<unsigned char> tail(tailLength);
  if (!bytes.read(tailStart, tail.data(), tail.size())) {
    return false;
  }
  for (size_t at = tailLength - endSize + 1; at-- > 0;) {
    const unsigned char* record = tail.data() + at;
    if (le32(record) != endSignature) {
      continue;
    }
    directory.entries = le16(record + 10);
    directory.offset = le32(record + 16);
    if (directory.entries == zip64Marker16 || directory.offset == zip64Marker32) {
      return readZip64End(bytes, tailStart + at, directory);
    }
    return true;
  }
  return false;
}

// Replaces the 32-bit fields that say "see the zip64 field" with the values found there, in
// the order the format stores them.
bool applyZip64Extra(const unsigned char* extra, size_t length, Record& record)
{
  const bool wantSize = record.uncompressedSize == zip64Marker32;
  const bool wantCompressed = record.compressedSize == zip64Marker32;
  const bool wantOffset = record.localHeaderOffset == zip64Marker32;
  if (!wantSize && !wantCompressed && !wantOffset) {
    return true;
  }
  for (size_t at = 0; at + 4 <= length;) {
    const uint16_t id = le16(extra + at);
    const size_t fieldLength = le16(extra + at + 2);
    const unsigned char* field = extra + at + 4;
    if (at + 4 + fieldLength > length) {
      return false;
    }
    if (id == zip64ExtraId) {
      size_t used = 0;
      for (uint64_t* value :
           {wantSize ? &record.uncompressedSize : nullptr, wantCompressed ? &record.compressedSize : nullptr,
            wantOffset ? &record.localHeaderOffset : nullptr}) {
        if (value == nullptr) {
          continue;
        }
        if (used + 8 > fieldLength) {
          return false;
        }
        *value = le64(field + used);
        used += 8;
      }
      return true;
    }
    at += 4 + fieldLength;
  }
  return false;
}

} // namespace

bool read(const ArchiveBytes& bytes, uint64_t maxEntries, std::vector<Record>& records)
{
  records.clear();
  Directory directory;
  if (!findDirectory(bytes, directory) || directory.entries > maxEntries) {
    return false;
  }
  Window window(bytes, directoryReadAhead);
  uint64_t offset = directory.offset;
  records.reserve(static_cast<size_t>(directory.entries));
  for (uint64_t i = 0; i < directory.entries; ++i) {
    const unsigned char* header = window.at(offset, centralHeaderSize);
    if (header == nullptr || le32(header) != centralSignature) {
      return false;
    }
    const size_t nameLength = le16(header + 28);
    const size_t extraLength = le16(header + 30);
    const size_t commentLength = le16(header + 32);
    Record record;
    record.compressedSize = le32(header + 20);
    record.uncompressedSize = le32(header + 24);
    record.localHeaderOffset = le32(header + 42);
    const unsigned char* variable = window.at(offset + centralHeaderSize, nameLength + extraLength);
    if (variable == nullptr) {
      return false;
    }
    record.name.assign(reinterpret_cast<const char*>(variable), nameLength);
    if (!applyZip64Extra(variable + nameLength, extraLength, record)) {
      return false;
    }
    records.push_back(std::move(record));
    offset += centralHeaderSize + nameLength + extraLength + commentLength;
  }
  return true;
}

std::optional<bool> entriesOverlap(const ArchiveBytes& bytes, const std::vector<Record>& records)
{
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  spans.reserve(records.size());
  Window window(bytes, localHeaderReadAhead);
  for (const Record& record : records) {
    const unsigned char* header = window.at(record.localHeaderOffset, localHeaderSize);
    if (header == nullptr || le32(header) != localSignature) {
      return std::nullopt;
    }
    // The local name and extra field may differ from the central ones; the data follows them.
    const uint64_t headerEnd =
        record.localHeaderOffset + localHeaderSize + le16(header + 26) + le16(header + 28);
    if (record.compressedSize > bytes.size() || headerEnd + record.compressedSize > bytes.size()) {
      return std::nullopt;
    }
    spans.emplace_back(record.localHeaderOffset, headerEnd + record.compressedSize);
  }
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].first < spans[i - 1].second) {
      return true;
    }
  }
  return false;
}

} // namespace ZipCentralDirectory
