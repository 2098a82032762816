#include "packages/PackageLock.h"

#include <map>

namespace {

std::mutex registryMutex;
std::map<std::string, std::weak_ptr<std::mutex>> registry;

std::shared_ptr<std::mutex> mutexFor(const std::string& packageName)
{
  std::lock_guard<std::mutex> guard(registryMutex);
  for (auto it = registry.begin(); it != registry.end();) {
    it = it->second.expired() ? registry.erase(it) : std::next(it);
  }
  std::weak_ptr<std::mutex>& entry = registry[packageName];
  std::shared_ptr<std::mutex> mutex = entry.lock();
  if (!mutex) {
    mutex = std::make_shared<std::mutex>();
    entry = mutex;
  }
  return mutex;
}

} // namespace

PackageLock::PackageLock(const std::string& packageName) : mutex(mutexFor(packageName)), lock(*mutex) {}
