#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace MPFD {

// A temporary file of one uploaded part, created exclusively and removed again by its owner.
class TempFile {
public:
  // Creates the first free name "MPFD_Temp_<N>" (N = 1, 2, ...) in `dir`, as `dir` + "/" + name.
  // The file is created atomically (O_EXCL, close-on-exec), so an existing entry of that name is
  // never opened, truncated or shared, not even with another parser creating files in `dir` at
  // the same moment. Throws MPFD::Exception "Cannot write to file <path>" when `dir` refuses it.
  static std::unique_ptr<TempFile> create(const std::string& dir);

  // Closes the file and removes it, unless its name no longer refers to this very file (the
  // caller removed or replaced it, and the name may by now belong to somebody else).
  ~TempFile();

  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Appends `length` bytes straight to the file (no user-space buffering). Throws
  // MPFD::Exception "Cannot write to file <path>" when not all of them could be written.
  void write(const char* data, std::size_t length);

  const std::string& name() const { return fileName; }
  const std::string& path() const { return filePath; }

private:
  TempFile(int fd, std::string fileName, std::string filePath);

  int fd;
  std::string fileName;
  std::string filePath;
};

} // namespace MPFD
