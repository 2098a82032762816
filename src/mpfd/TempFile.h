#pragma once

#include "util/UniqueFd.h"

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

namespace MPFD {

// A temporary file of one uploaded part, created exclusively and removed again by its owner.
class TempFile {
public:
  // Creates the file `dir` + "/" + "MPFD_Temp_<N>", N taken from a counter shared by the whole
  // process, so choosing a name costs the same however many files exist; a name that is taken
  // (left by an earlier run, or by anybody else) is skipped. The file is created atomically
  // (O_EXCL, close-on-exec, readable by the owner only), so an existing entry of that name is never opened,
  // truncated or shared, not even with another parser creating files in `dir` at the same moment. Throws
  // MPFD::Exception "Cannot write to file <path>" when `dir` refuses it.
  static std::unique_ptr<TempFile> create(const std::string& dir);

  // Closes the file if still open and removes it, unless its name no longer refers to this
  // very file (the caller removed or replaced it, and the name may by now belong to somebody
  // else).
  ~TempFile();

  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Appends `length` bytes straight to the file (no user-space buffering). Throws
  // MPFD::Exception "Cannot write to file <path>" when not all of them could be written, or
  // when the file was closed already.
  void write(const char* data, std::size_t length);
  // Appends `firstLength` bytes from `first`, then `length` from `data`, with one system call
  // when the file takes them all at once; failures as `write`.
  void write(const char* first, std::size_t firstLength, const char* data, std::size_t length);

  // Gives the descriptor back; the file stays on disk, for readers that open it by path, until
  // this object is destroyed.
  void close();

  const std::string& name() const { return fileName; }
  const std::string& path() const { return filePath; }

private:
  TempFile(UniqueFd fd, std::string fileName, std::string filePath);

  UniqueFd fd;
  // Identity of the file, to recognise it under its name after the descriptor is gone.
  bool identified = false;
  dev_t device = 0;
  ino_t inode = 0;
  std::string fileName;
  std::string filePath;
};

} // namespace MPFD
