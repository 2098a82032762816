#include "packages/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <sstream>
#include <thread>

namespace {

// Without a process descriptor to poll, the end of a child is checked this often.
constexpr std::chrono::milliseconds reapCheckInterval{10};

int openProcessDescriptor(pid_t pid)
{
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

bool sendThroughDescriptor(int fd, int signal)
{
#ifdef SYS_pidfd_send_signal
  return syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0) == 0;
#else
  (void)fd;
  (void)signal;
  return false;
#endif
}

} // namespace

std::string signalName(int signal)
{
  static const struct {
    int number;
    const char* name;
  } names[] = {{SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGILL, "SIGILL"},
               {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},
               {SIGKILL, "SIGKILL"}, {SIGUSR1, "SIGUSR1"}, {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"},
               {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"}, {SIGXCPU, "SIGXCPU"},
               {SIGXFSZ, "SIGXFSZ"}, {SIGSYS, "SIGSYS"}};
  for (const auto& entry : names) {
    if (entry.number == signal) {
      return entry.name;
    }
  }
  return "SIG" + std::to_string(signal);
}

std::string ExitStatus::describe() const
{
  return signaled ? "by signal " + signalName(signal) : "with code " + std::to_string(code);
}

ChildProcess::ChildProcess(pid_t pid) : id(pid), fd(openProcessDescriptor(pid)) {}

ChildProcess::~ChildProcess()
{
  if (!reap()) {
    signal(SIGKILL);
    wait();
  }
}

bool ChildProcess::reap()
{
  std::lock_guard<std::mutex> lock(mutex);
  return reapLocked();
}

// The only wait for the child in the whole program, always under the mutex: once it has
// collected the child, nothing waits for or signals its id again.
bool ChildProcess::reapLocked()
{
  if (status) {
    return true;
  }
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  auto waitBy = [&info](idtype_t type, id_t which) {
    int result;
    do {
      result = waitid(type, which, &info, WEXITED | WNOHANG);
    } while (result < 0 && errno == EINTR);
    return result;
  };
  int result = fd ? waitBy(P_PIDFD, static_cast<id_t>(fd.get())) : waitBy(P_PID, static_cast<id_t>(id));
  if (result < 0 && errno == EINVAL && fd) {
    // A kernel that opens process descriptors but cannot wait on them yet.
    result = waitBy(P_PID, static_cast<id_t>(id));
  }
  if (result < 0) {
    // Not this process's child any more: nothing can be learnt about its end.
    status = ExitStatus{false, -1, 0, std::chrono::system_clock::now()};
    return true;
  }
  if (info.si_pid == 0) {
    return false;
  }
  ExitStatus ended;
  ended.signaled = info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
  (ended.signaled ? ended.signal : ended.code) = info.si_status;
  ended.at = std::chrono::system_clock::now();
  status = ended;
  return true;
}

bool ChildProcess::waitFor(std::chrono::milliseconds timeout)
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!reap()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    if (fd) {
      pollfd ready{fd.get(), POLLIN, 0};
      poll(&ready, 1, static_cast<int>(left.count()) + 1);
    } else {
      std::this_thread::sleep_for(std::min(left, reapCheckInterval));
    }
  }
  return true;
}

void ChildProcess::wait()
{
  while (!waitFor(std::chrono::hours(1))) {
  }
}

std::optional<ExitStatus> ChildProcess::exitStatus() const
{
  std::lock_guard<std::mutex> lock(mutex);
  return status;
}

bool ChildProcess::signal(int signal)
{
  std::lock_guard<std::mutex> lock(mutex);
  if (status) {
    return false;
  }
  if (fd) {
    return sendThroughDescriptor(fd.get(), signal);
  }
  // Uncollected, so the id is still this child's (perhaps a zombie's).
  return kill(id, signal) == 0;
}

std::optional<ProcessUsage> ChildProcess::usage() const
{
  std::lock_guard<std::mutex> lock(mutex);
  if (status) {
    return std::nullopt;
  }
  try {
    return readUsage(id);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<ProcessUsage> ChildProcess::readUsage(pid_t id)
{
  // One read each: status requests ask for every package several times a second.
  auto readSmallFile = [](const std::string& path) {
    UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[1024];
    const ssize_t count = file ? ::read(file.get(), buffer, sizeof buffer - 1) : -1;
    return std::string(buffer, count > 0 ? static_cast<size_t>(count) : 0);
  };
  const std::string directory = "/proc/" + std::to_string(id) + "/";
  const std::string statm = readSmallFile(directory + "statm");
  const std::string stat = readSmallFile(directory + "stat");
  // The command name, in parentheses, may hold blanks and parentheses itself: the fields
  // are counted from the last ")", which ends field 2; utime and stime are fields 14 and 15.
  const size_t end = stat.rfind(')');
  if (statm.empty() || end == std::string::npos) {
    return std::nullopt;
  }
  std::istringstream fields(stat.substr(end + 1));
  std::string field;
  uint64_t utime = 0;
  uint64_t stime = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) {
      utime = std::stoull(field);
    } else if (index == 15) {
      stime = std::stoull(field);
    }
  }
  std::istringstream pages(statm);
  uint64_t size = 0;
  uint64_t resident = 0;
  pages >> size >> resident;
  const long ticks = sysconf(_SC_CLK_TCK);
  const long pageSize = sysconf(_SC_PAGESIZE);
  ProcessUsage usage;
  usage.rssKib = resident * static_cast<uint64_t>(pageSize > 0 ? pageSize : 4096) / 1024;
  usage.cpuMs = ticks > 0 ? (utime + stime) * 1000 / static_cast<uint64_t>(ticks) : 0;
  return usage;
}
