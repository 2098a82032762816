#include "mpfd/TempFile.h"

#include "mpfd/Exception.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace MPFD {

std::unique_ptr<TempFile> TempFile::create(const std::string& dir)
{
  for (unsigned long n = 1;; ++n) {
    std::string name = "MPFD_Temp_" + std::to_string(n);
    std::string path = dir + "/" + name;
    int fd;
    do {
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      return std::unique_ptr<TempFile>(new TempFile(fd, std::move(name), std::move(path)));
    }
    // Anything that exists under the name (a file, a directory, a dangling link) makes it taken.
    if (errno != EEXIST) {
      throw Exception("Cannot write to file " + path);
    }
  }
}

TempFile::TempFile(int fd, std::string fileName, std::string filePath)
    : fd(fd), fileName(std::move(fileName)), filePath(std::move(filePath))
{
}

TempFile::~TempFile()
{
  // While the descriptor is open its inode cannot be reused, so a matching device and inode
  // under the name proves the name still is ours.
  struct stat own {};
  struct stat named {};
  if (::fstat(fd, &own) == 0 && ::lstat(filePath.c_str(), &named) == 0 && own.st_dev == named.st_dev &&
      own.st_ino == named.st_ino) {
    ::unlink(filePath.c_str());
  }
  ::close(fd);
}

void TempFile::write(const char* data, std::size_t length)
{
  while (length > 0) {
    ssize_t written = ::write(fd, data, length);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      throw Exception("Cannot write to file " + filePath);
    }
    data += written;
    length -= static_cast<std::size_t>(written);
  }
}

} // namespace MPFD
