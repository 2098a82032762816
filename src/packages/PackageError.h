#pragma once

#include <stdexcept>
#include <string>
#include <utility>

// A package operation that was refused or failed. what() is the line for the log; reason() is
// what a client is told, the log line itself unless a plainer explanation is known.
class PackageError : public std::runtime_error {
public:
  explicit PackageError(const std::string& logLine, std::string reason = std::string())
      : std::runtime_error(logLine), reason_(reason.empty() ? logLine : std::move(reason))
  {
  }
  const std::string& reason() const noexcept { return reason_; }

private:
  std::string reason_;
};
