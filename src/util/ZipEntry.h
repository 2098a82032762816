#pragma once

#include <cstdint>
#include <string>

// One item to be written into a zip archive.
struct ZipEntry {
  std::string name;    // relative path inside the archive, "/" separated
  uint8_t type = 8;    // directory-entry type: 8 regular file, 4 directory; others are skipped
  std::string content; // the bytes of a regular file, unless sourcePath is set
  // When set, a regular file's bytes are read from this file on disk while the archive is
  // written, unchanged and without holding them in memory; `content` is then ignored.
  std::string sourcePath;
};
