#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The central directory of a zip archive read straight from its bytes, for what libzip does
// not tell: where each entry's data lies in the archive.
namespace ZipCentralDirectory {

// Random access to the bytes of one archive.
class ArchiveBytes {
public:
  virtual ~ArchiveBytes() = default;
  virtual uint64_t size() const = 0;
  // Copies the `length` bytes at `offset` into `buffer`; false when they are not all there.
  virtual bool read(uint64_t offset, void* buffer, size_t length) const = 0;
};

// One entry of the central directory, its sizes and offset resolved from the zip64 fields.
struct Record {
  std::string name; // raw bytes, as stored
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
  uint64_t localHeaderOffset = 0;
};

// Fills `records` in directory order from the end-of-central-directory record nearest the end
// of the archive (and its zip64 form). False when there is none, when the directory names
// more than `maxEntries` entries, or when an entry is cut short. Reads in bounded pieces.
bool read(const ArchiveBytes& bytes, uint64_t maxEntries, std::vector<Record>& records);

// Whether two records share a byte of the archive, each spanning from its local header to the
// end of its compressed data; nothing when a local header cannot be read.
std::optional<bool> entriesOverlap(const ArchiveBytes& bytes, const std::vector<Record>& records);

} // namespace ZipCentralDirectory
