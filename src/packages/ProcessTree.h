#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// What /proc says of one process, read in one go; `valid` is false when it has gone.
struct ProcessInfo {
  bool valid = false;
  char state = '?';
  pid_t parent = 0;
  pid_t group = 0;
  pid_t session = 0;
  // Clock ticks after boot at which it started: with its id, names one process for good.
  uint64_t startTime = 0;
  uint64_t residentPages = 0;
  uint64_t threads = 0;

  // Not ended: a zombie whose other threads still run (its first thread ended alone) counts.
  bool alive() const { return valid && ((state != 'Z' && state != 'X') || threads > 1); }

  static ProcessInfo read(pid_t pid);
  // Every process's id under /proc.
  static std::vector<pid_t> all();
};

// Every process of one package: the process group its main process leads (with everything
// started from there that stayed in the group) and, where the package runs in a cgroup of
// its own, every process of that cgroup, which also holds those that left the group.
// Zombies count as gone. Safe to use from any thread.
class ProcessTree {
public:
  // `groupId` is the id of the group's leader; `cgroupDirectory` the package's cgroup, or
  // empty where it has none.
  ProcessTree(pid_t groupId, std::string cgroupDirectory);

  pid_t groupId() const { return group; }
  const std::string& cgroup() const { return cgroupDirectory; }

  // The processes of the tree that have not ended, in no particular order.
  std::vector<pid_t> members() const;
  bool empty() const { return members().empty(); }

  // The processes of its cgroup alone; none without one.
  std::vector<pid_t> cgroupMembers() const;

  // Sends `signal` to every process of the tree.
  void signal(int signal) const;

  // Ends every process of the tree at once (SIGKILL; cgroup.kill where there is a cgroup).
  void kill() const;

  // The resident memory of all processes of the tree, in KiB.
  uint64_t residentKib() const;

private:
  // The processes of the tree that have not ended, with what /proc said of each.
  std::vector<std::pair<pid_t, ProcessInfo>> live() const;

  const pid_t group;
  const std::string cgroupDirectory;
};
