#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

// A record of each package process Orvane runs, kept in a directory that outlives Orvane
// but not a reboot (tmpfs), so that a new Orvane can end what an Orvane that died left
// running before it starts a second instance of anything. One file per package. An empty
// directory name keeps no records.
namespace LeftoverProcesses {

// Records that the package `name` runs as the process `pid` (the leader of its process
// group), started at `startTime` (clock ticks after boot, as /proc gives it), in the cgroup
// `cgroup` (empty: none). Replaces an earlier record of the package.
void save(const std::string& directory, const std::string& name, pid_t pid, uint64_t startTime,
          const std::string& cgroup);

// Forgets the record of the package `name`: its processes have ended.
void erase(const std::string& directory, const std::string& name);

// Ends what every record names and is still alive, logging what it ended, and forgets the
// records. A record's process group counts only while its leader is the recorded process
// (same start time) or, the leader gone, for the processes of that group and session that
// started after it and before this process: an id given to another process since is never
// signalled. A cgroup's processes are all the package's. SIGTERM first, SIGKILL to what is
// left after `grace`. Returns the number of processes ended.
size_t endAll(const std::string& directory, std::chrono::milliseconds grace);

} // namespace LeftoverProcesses
