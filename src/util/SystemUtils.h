#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace SystemUtils {

struct SystemInfo {
  std::string uptime; // the trimmed output of "uptime"
  uint32_t availableMemoryMb = 0;
  uint32_t freeSpaceMb = 0; // of the file system holding /usr/local/
};

// Runs the program `argv[0]` (looked up in PATH when it has no "/") with exactly the
// arguments `argv`, no shell involved, and returns its standard output, at most
// Limits::maxExecOutputBytes of it (when it prints more, its output pipe is closed and the
// rest is lost). Standard input is /dev/null, standard error this process's; the calling
// thread waits for the program to end. `exitStatus` gets the program's exit code, 128 +
// the signal number when a signal ended it, `cannotExecuteStatus` when the program cannot be
// executed (as a shell reports it; the output is then ""), and -1 when no process could be
// made or waited for; the reason is logged.
constexpr int cannotExecuteStatus = 127;
std::string exec(const std::vector<std::string>& argv, int& exitStatus);
std::string exec(const std::vector<std::string>& argv);

// MiB of memory available to new processes, from /proc/meminfo, less a reserve that grows
// with the machine's memory; never negative, 0 when the figures cannot be read.
int32_t availableMemoryMb();

// The same computation on the text of a meminfo file.
int32_t availableMemoryMbFrom(const std::string& meminfo);

// True unless something accepts TCP connections on 127.0.0.1:`port`; false as well when no
// socket can be made to find out.
bool isPortFree(uint16_t port);

// Whether the call on a non-blocking descriptor that just failed only has to be made again
// later (errno EAGAIN, EWOULDBLOCK or EINTR).
bool wouldBlock();

SystemInfo systemInfo();

} // namespace SystemUtils
