#pragma once

#include <cstdint>
#include <string>

// What an uploaded package archive would put on disk, read from its directory without
// unpacking anything.
struct PackageArchive {
  // False when the file is not a readable zip archive, or an entry could escape the
  // destination (an absolute name or a ".." component) or repeats the name of another.
  bool usable = false;
  // Sum of the entries' uncompressed sizes.
  uint64_t uncompressedSize = 0;
  // Why the archive is not usable.
  std::string problem;
};

PackageArchive inspectPackageArchive(const std::string& path);
