#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The cgroups of the packages: one child cgroup per package below Orvane's own cgroup, in a
// cgroup v2 hierarchy, where Orvane may create them. Where it may not (no cgroup v2, Orvane
// in the hierarchy's root, which is not its to divide, or a cgroup it cannot write), the
// packages are contained by their process groups alone.
namespace PackageCgroups {

// Orvane's own cgroup directory when packages can have cgroups below it; empty otherwise.
std::string detectBase();

// Creates (or finds) the cgroup of the package `name` below `base` and applies the memory
// limit where the memory controller is there to hold it (with a bound on its processes
// where the pids controller is). Returns its directory, or empty when it cannot be made.
std::string prepare(const std::string& base, const std::string& name, std::optional<uint32_t> memoryLimitMib);

// Removes the cgroup `directory` once no process is left in it; false while one is.
bool remove(const std::string& directory);

// True when the kernel killed a process of the cgroup `directory` for going over its memory
// limit since the cgroup was created.
bool memoryLimitHit(const std::string& directory);

} // namespace PackageCgroups
