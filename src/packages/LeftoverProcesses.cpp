#include "packages/LeftoverProcesses.h"

#include "packages/PackageCgroups.h"
#include "packages/ProcessTree.h"
#include "util/FileUtils.h"
#include "util/Logger.h"

#include <signal.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace LeftoverProcesses {

namespace {

constexpr std::chrono::milliseconds pollInterval{50};

struct Record {
  std::string name;
  pid_t pid = 0;
  uint64_t startTime = 0;
  std::string cgroup;
};

std::vector<std::string> recordNames(const std::string& directory)
{
  std::vector<std::string> names;
  for (const std::string& name : FileUtils::listEntries(directory)) {
    // Half-written records (".tmp" files of FileUtils::writeFile) are not records.
    if (name.find('.') == std::string::npos) {
      names.push_back(name);
    }
  }
  return names;
}

// What of a record is still alive and provably the package's.
std::set<pid_t> survivors(const Record& record, uint64_t ownStartTime)
{
  std::set<pid_t> found;
  if (!record.cgroup.empty()) {
    // Everything in the package's cgroup is the package's.
    const std::vector<pid_t> members = ProcessTree(record.pid, record.cgroup).cgroupMembers();
    found.insert(members.begin(), members.end());
  }
  const ProcessInfo leader = ProcessInfo::read(record.pid);
  if (leader.valid && leader.startTime != record.startTime) {
    // The id belongs to another process now, and so may the group.
    return found;
  }
  for (pid_t pid : ProcessInfo::all()) {
    const ProcessInfo info = ProcessInfo::read(pid);
    if (!info.alive() || info.group != record.pid) {
      continue;
    }
    // While the recorded leader lives, the group's id is its own. Once it has gone (killed
    // with Orvane, as its parent-death signal asks), the id stays taken while any process
    // of the group lives; one that started after this Orvane cannot be a leftover.
    if (leader.valid ||
        (info.session == record.pid && info.startTime >= record.startTime && info.startTime <= ownStartTime)) {
      found.insert(pid);
    }
  }
  return found;
}

void signalAll(const std::set<pid_t>& pids, int signal)
{
  for (pid_t pid : pids) {
    kill(pid, signal);
  }
}

} // namespace

void save(const std::string& directory, const std::string& name, pid_t pid, uint64_t startTime,
          const std::string& cgroup)
{
  if (directory.empty()) {
    return;
  }
  FileUtils::makeDirectory(directory, 0700, true);
  if (!FileUtils::writeFile(directory + name, std::to_string(pid) + " " + std::to_string(startTime) + " " +
                                                  cgroup + "\n")) {
    Logger::log("Package " + name + ": cannot record its process in " + directory, LogLevel::Warning);
  }
}

void erase(const std::string& directory, const std::string& name)
{
  if (!directory.empty()) {
    unlink((directory + name).c_str());
  }
}

size_t endAll(const std::string& directory, std::chrono::milliseconds grace)
{
  if (directory.empty()) {
    return 0;
  }
  const uint64_t ownStartTime = ProcessInfo::read(getpid()).startTime;
  size_t ended = 0;
  for (const std::string& name : recordNames(directory)) {
    Record record;
    record.name = name;
    std::istringstream fields(FileUtils::readFile(directory + name));
    fields >> record.pid >> record.startTime;
    std::getline(fields >> std::ws, record.cgroup);
    // Records are files a package's own user could write: only a package's cgroup, never
    // Orvane's own or one of its ancestors, is ever killed as a whole.
    const std::string leaf = "/package." + name;
    const std::string own = FileUtils::readFile("/proc/self/cgroup") + "\n";
    if (!record.cgroup.empty() &&
        (record.cgroup.size() <= leaf.size() ||
         record.cgroup.compare(record.cgroup.size() - leaf.size(), leaf.size(), leaf) != 0 ||
         own.find(leaf + "/") != std::string::npos || own.find(leaf + "\n") != std::string::npos)) {
      Logger::log("Package " + name + ": the record of its processes names " + record.cgroup +
                      ", not a package's cgroup; ignored",
                  LogLevel::Warning);
      record.cgroup.clear();
    }
    if (record.pid > 1) {
      std::set<pid_t> alive = survivors(record, ownStartTime);
      if (!alive.empty()) {
        Logger::log("Package " + name + ": ending " + std::to_string(alive.size()) +
                        " processes left running by an earlier Orvane (group " + std::to_string(record.pid) +
                        ")",
                    LogLevel::Warning);
        ended += alive.size();
        signalAll(alive, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + grace;
        while (!alive.empty() && std::chrono::steady_clock::now() < deadline) {
          std::this_thread::sleep_for(pollInterval);
          alive = survivors(record, ownStartTime);
        }
        if (!alive.empty()) {
          if (!record.cgroup.empty()) {
            FileUtils::writeControlFile(record.cgroup + "/cgroup.kill", "1");
          }
          signalAll(alive, SIGKILL);
          // Gone before anything starts: a package started now must find its port free.
          for (int tries = 0; tries < 40 && !alive.empty(); ++tries) {
            std::this_thread::sleep_for(pollInterval);
            alive = survivors(record, ownStartTime);
          }
        }
      }
    }
    if (!record.cgroup.empty()) {
      // A cgroup just killed empties a moment later.
      for (int tries = 0; tries < 20 && !PackageCgroups::remove(record.cgroup); ++tries) {
        std::this_thread::sleep_for(pollInterval);
      }
    }
    erase(directory, name);
  }
  return ended;
}

} // namespace LeftoverProcesses
