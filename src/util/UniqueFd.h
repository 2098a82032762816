#pragma once

#include <unistd.h>

#include <utility>

// Move-only owner of a file descriptor; closes it when destroyed.
class UniqueFd {
public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept
  {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }

  // Closes the owned descriptor (if any) and takes `fd`. Returns close()'s result, 0 when
  // nothing was open.
  int reset(int fd = -1)
  {
    int result = 0;
    if (fd_ >= 0) {
      result = ::close(fd_);
    }
    fd_ = fd;
    return result;
  }

private:
  int fd_ = -1;
};
