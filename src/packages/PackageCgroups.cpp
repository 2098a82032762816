#include "packages/PackageCgroups.h"

#include "util/FileUtils.h"
#include "util/Limits.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

namespace PackageCgroups {

namespace {

// The mount point of the cgroup v2 hierarchy, from this process's mount table.
std::string unifiedMountPoint()
{
  std::istringstream table(FileUtils::readFile("/proc/self/mountinfo"));
  std::string line;
  while (std::getline(table, line)) {
    // "ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - FSTYPE SOURCE SUPEROPTIONS"
    const size_t separator = line.find(" - ");
    if (separator == std::string::npos || line.compare(separator + 3, 8, "cgroup2 ") != 0) {
      continue;
    }
    std::istringstream fields(line.substr(0, separator));
    std::string id, parent, device, root, mountPoint;
    if (fields >> id >> parent >> device >> root >> mountPoint && root == "/") {
      return mountPoint;
    }
  }
  return {};
}

// This process's cgroup in the v2 hierarchy ("/" for its root).
std::string ownCgroupPath()
{
  std::istringstream memberships(FileUtils::readFile("/proc/self/cgroup"));
  std::string line;
  while (std::getline(memberships, line)) {
    if (line.compare(0, 3, "0::") == 0) {
      return line.substr(3);
    }
  }
  return {};
}
} // namespace

std::string detectBase()
{
  const std::string mountPoint = unifiedMountPoint();
  const std::string path = ownCgroupPath();
  if (mountPoint.empty() || path.empty() || path == "/" || path.find("..") != std::string::npos) {
    return {};
  }
  const std::string base = mountPoint + path;
  if (access(base.c_str(), W_OK) != 0 || access((base + "/cgroup.procs").c_str(), W_OK) != 0 ||
      !FileUtils::pathExists(base + "/cgroup.kill")) {
    return {};
  }
  return base;
}

std::string prepare(const std::string& base, const std::string& name, std::optional<uint32_t> memoryLimitMib)
{
  const std::string directory = base + "/package." + name;
  if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    return {};
  }
  if (FileUtils::pathExists(directory + "/memory.max")) {
    const std::string limit =
        memoryLimitMib ? std::to_string(uint64_t{*memoryLimitMib} * 1024 * 1024) : std::string("max");
    FileUtils::writeControlFile(directory + "/memory.max", limit);
  }
  if (FileUtils::pathExists(directory + "/pids.max")) {
    FileUtils::writeControlFile(directory + "/pids.max", std::to_string(Limits::packageMaxProcesses));
  }
  return directory;
}

bool remove(const std::string& directory)
{
  return rmdir(directory.c_str()) == 0 || errno == ENOENT;
}

bool memoryLimitHit(const std::string& directory)
{
  std::istringstream events(FileUtils::readFile(directory + "/memory.events"));
  std::string key;
  uint64_t count = 0;
  while (events >> key >> count) {
    if (key == "oom_kill" && count > 0) {
      return true;
    }
  }
  return false;
}

} // namespace PackageCgroups
