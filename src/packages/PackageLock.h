#pragma once

#include <memory>
#include <mutex>
#include <string>

// Holds the lock of one package name for its lifetime, so that changes to the files of the
// same package (installs, removals) run one after another. Different names do not wait for
// each other.
class PackageLock {
public:
  explicit PackageLock(const std::string& packageName);
  PackageLock(const PackageLock&) = delete;
  PackageLock& operator=(const PackageLock&) = delete;

private:
  std::shared_ptr<std::mutex> mutex;
  std::unique_lock<std::mutex> lock;
};
