#pragma once

#include "util/Failure.h"
#include "util/ZipEntry.h"

#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Writing and unpacking zip archives. Each call returns nothing when it succeeded and why it
// failed otherwise ("Could not open archive: Not a zip archive", "Refusing archive: entries
// overlap"...): a broken or refused archive is bad input, one over a limit or larger than the
// free space too large, a file that cannot be written an I/O failure. Nothing is logged: the
// caller knows what the archive was for.
namespace ZipUtils {

// Writes a new archive at `archivePath` (replacing any file there) holding `entries` in
// order. On failure no archive is left at the path.
std::optional<Failure> createArchive(const std::string& archivePath, const std::vector<ZipEntry>& entries);

// Unpacks the archive file `archivePath` below `destination` (created when missing; "" means
// the current directory). Nothing is ever written outside the destination: an archive with an
// absolute entry name, a ".." component, a duplicate name, or a symbolic link leading out is
// refused before anything is written. So is an archive whose entries overlap in the archive,
// that has more than Limits::maxArchiveEntries entries, or whose recorded unpacked size
// exceeds Limits::maxArchiveUnpackedBytes or the free space below `destination`. Entries are
// streamed in bounded memory, and one that inflates beyond its recorded size fails the
// extraction. After a failure, what was written so far stays for the caller to remove.
std::optional<Failure> extractArchive(const std::string& archivePath, const std::string& destination);

// The same for an archive held in memory; the bytes must stay valid during the call.
std::optional<Failure> extractArchiveFromMemory(const void* data, size_t length,
                                                const std::string& destination);

// Sum of the uncompressed sizes recorded for the entries of the archive at `archivePath`
// (extraction never writes more than this); -1 when the archive cannot be read.
int64_t uncompressedSize(const std::string& archivePath);

} // namespace ZipUtils
