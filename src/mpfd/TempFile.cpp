#include "mpfd/TempFile.h"

#include "mpfd/Exception.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace MPFD {

namespace {

// Never handing out a number twice in the process's life means a name seen again after our
// file was removed was made by somebody else, which the identity check in the destructor
// relies on once the descriptor is closed.
std::atomic<unsigned long long> nextNumber{1};

} // namespace

std::unique_ptr<TempFile> TempFile::create(const std::string& dir)
{
  for (;;) {
    std::string name = "MPFD_Temp_" + std::to_string(nextNumber.fetch_add(1));
    std::string path = dir + "/" + name;
    int created;
    do {
      created = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    } while (created < 0 && errno == EINTR);
    if (created >= 0) {
      return std::unique_ptr<TempFile>(new TempFile(UniqueFd(created), std::move(name), std::move(path)));
    }
    // Anything that exists under the name (a file, a directory, a dangling link) makes it taken.
    if (errno != EEXIST) {
      throw Exception("Cannot write to file " + path, Failure::Kind::Io);
    }
  }
}

TempFile::TempFile(UniqueFd fd, std::string fileName, std::string filePath)
    : fd(std::move(fd)), fileName(std::move(fileName)), filePath(std::move(filePath))
{
  struct stat own {};
  identified = ::fstat(this->fd.get(), &own) == 0;
  device = own.st_dev;
  inode = own.st_ino;
}

TempFile::~TempFile()
{
  // While our descriptor is open the inode cannot be reused, and once it is closed the name is
  // one this process never hands out again: either way a matching device and inode under the
  // name proves the name still is ours.
  struct stat named {};
  if (identified && ::lstat(filePath.c_str(), &named) == 0 && named.st_dev == device &&
      named.st_ino == inode) {
    ::unlink(filePath.c_str());
  }
}

void TempFile::write(const char* data, std::size_t length)
{
  write(data, length, nullptr, 0);
}

void TempFile::write(const char* first, std::size_t firstLength, const char* data, std::size_t length)
{
  if (!fd) {
    throw Exception("Cannot write to file " + filePath, Failure::Kind::Io);
  }
  iovec pieces[2] = {{const_cast<char*>(first), firstLength}, {const_cast<char*>(data), length}};
  iovec* next = pieces;
  int left = 2;
  while (left > 0) {
    if (next->iov_len == 0) {
      ++next;
      --left;
      continue;
    }
    ssize_t written = ::writev(fd.get(), next, left);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      throw Exception("Cannot write to file " + filePath, Failure::Kind::Io);
    }
    // A short write leaves the rest, possibly of both pieces, for the next call.
    auto count = static_cast<std::size_t>(written);
    while (left > 0 && count >= next->iov_len) {
      count -= next->iov_len;
      ++next;
      --left;
    }
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + count;
      next->iov_len -= count;
    }
  }
}

void TempFile::close()
{
  fd.reset();
}

} // namespace MPFD
