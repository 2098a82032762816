#pragma once

#include <cstdint>
#include <string>

namespace SystemUtils {

struct SystemInfo {
  std::string uptime; // the trimmed output of "uptime"
  uint32_t availableMemoryMb = 0;
  uint32_t freeSpaceMb = 0; // of the file system holding /usr/local/
};

// Runs `command` through the shell and returns its standard output. `exitStatus` gets the
// command's exit code (127 when the shell cannot find it), 128 + the signal number when a
// signal ended it, and -1 when it could not be started or waited for (the output is then "").
std::string exec(const std::string& command, int& exitStatus);
std::string exec(const std::string& command);

// MiB of memory available to new processes, from /proc/meminfo, less a reserve that grows
// with the machine's memory; never negative, 0 when the figures cannot be read.
int32_t availableMemoryMb();

// The same computation on the text of a meminfo file.
int32_t availableMemoryMbFrom(const std::string& meminfo);

// True unless something accepts TCP connections on 127.0.0.1:`port`; false as well when no
// socket can be made to find out.
bool isPortFree(uint16_t port);

SystemInfo systemInfo();

} // namespace SystemUtils
