#include "util/SystemUtils.h"

#include "util/FileUtils.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "util/StringUtils.h"
#include "util/UniqueFd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>

namespace SystemUtils {
namespace {

// A decimal number after optional leading blanks, filling the whole text and fitting 32 bits.
std::optional<int64_t> parseDecimal(const std::string& text)
{
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) {
    return std::nullopt;
  }
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return std::nullopt;
    }
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) {
      return std::nullopt;
    }
  }
  value = negative ? -value : value;
  if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min()) {
    return std::nullopt;
  }
  return value;
}

// Owns one posix_spawn helper object (file actions or attributes) from init to destroy.
template <typename Object, int (*initObject)(Object*), int (*destroyObject)(Object*)> class SpawnObject {
public:
  SpawnObject() { valid_ = initObject(&object_) == 0; }
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;
  ~SpawnObject()
  {
    if (valid_) {
      destroyObject(&object_);
    }
  }
  bool valid() const { return valid_; }
  Object* get() { return &object_; }

private:
  Object object_{};
  bool valid_ = false;
};

using SpawnActions =
    SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init, posix_spawn_file_actions_destroy>;
using SpawnAttributes = SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;

// Standard input from /dev/null, standard output into `outputFd`, nothing else of this
// process; every signal at its default and none blocked, whatever Orvane's threads set up
// for themselves (a program started with SIGINT ignored could not be interrupted).
bool prepareSpawn(SpawnActions& actions, SpawnAttributes& attributes, int outputFd)
{
  if (!actions.valid() || !attributes.valid() ||
      posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0) != 0 ||
      posix_spawn_file_actions_adddup2(actions.get(), outputFd, STDOUT_FILENO) != 0) {
    return false;
  }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Descriptors a library opened without close-on-exec must not reach the program either.
  if (posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1) != 0) {
    return false;
  }
#endif
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  return posix_spawnattr_setsigmask(attributes.get(), &none) == 0 &&
         posix_spawnattr_setsigdefault(attributes.get(), &all) == 0 &&
         posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
}

// Reads `fd` to its end, keeping at most `limit` bytes; false when there was more.
bool readBounded(int fd, size_t limit, std::string& output, const std::string& program)
{
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      Logger::log("Exec read error: " + program + ": " + std::strerror(errno), LogLevel::Error);
      return true;
    }
    if (got == 0) {
      return true;
    }
    const size_t room = limit - output.size();
    output.append(buffer, std::min(room, static_cast<size_t>(got)));
    if (static_cast<size_t>(got) > room) {
      return false;
    }
  }
}

int32_t reserveMb(int64_t memTotalKb)
{
  if (memTotalKb < 154624) {
    return 12;
  }
  if (memTotalKb < 410624) {
    return 20;
  }
  return 30;
}

} // namespace

std::string exec(const std::vector<std::string>& argv, int& exitStatus)
{
  exitStatus = -1;
  if (argv.empty()) {
    Logger::log("Exec error: no program given", LogLevel::Error);
    return {};
  }
  const std::string& program = argv[0];
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    Logger::log("Exec pipe error: " + program + ": " + std::strerror(errno), LogLevel::Error);
    return {};
  }
  UniqueFd reader(fds[0]);
  UniqueFd writer(fds[1]);

  std::vector<char*> pointers;
  pointers.reserve(argv.size() + 1);
  for (const std::string& argument : argv) {
    pointers.push_back(const_cast<char*>(argument.c_str()));
  }
  pointers.push_back(nullptr);

  SpawnActions actions;
  SpawnAttributes attributes;
  if (!prepareSpawn(actions, attributes, writer.get())) {
    Logger::log("Exec spawn error: " + program + ": cannot prepare the process", LogLevel::Error);
    return {};
  }
  // posix_spawn leaves this process's signal handlers alone: a SIGINT arriving while the
  // program runs is handled as always (the shell's system() ignores it for that time).
  pid_t pid = -1;
  const int error =
      posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(), pointers.data(), environ);
  if (error != 0) {
    // Where the C library cannot see the exec fail (under an emulator a spawn is a fork whose
    // child ends with 127), the program's status says it; here it says the same.
    exitStatus = cannotExecuteStatus;
    Logger::log("Exec spawn error: " + program + ": " + std::strerror(error), LogLevel::Error);
    return {};
  }
  writer.reset();

  std::string output;
  if (!readBounded(reader.get(), Limits::maxExecOutputBytes, output, program)) {
    Logger::log("Exec: output of " + program + " cut at " + std::to_string(Limits::maxExecOutputBytes) +
                    " bytes",
                LogLevel::Warning);
  }
  // Closing the pipe first ends a program that still writes (SIGPIPE), so the wait ends too.
  reader.reset();
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != pid) {
    Logger::log("Exec wait error: " + program + ": " + std::strerror(errno), LogLevel::Error);
    return output;
  }
  // A killed program must not look like a successful one.
  exitStatus = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  return output;
}

std::string exec(const std::vector<std::string>& argv)
{
  int exitStatus = 0;
  return exec(argv, exitStatus);
}

int32_t availableMemoryMbFrom(const std::string& meminfo)
{
  int64_t memTotalKb = 0;
  int64_t sumKb = 0;
  for (const std::string& line : StringUtils::split(meminfo, '\n')) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) {
      continue;
    }
    const std::string key = line.substr(0, colon);
    if (key != "MemTotal" && key != "MemFree" && key != "Buffers" && key != "SReclaimable" &&
        key != "Cached" && key != "Shmem") {
      continue;
    }
    const size_t lastBlank = line.rfind(' ');
    if (lastBlank == std::string::npos || lastBlank <= colon) {
      return 0;
    }
    const std::optional<int64_t> value = parseDecimal(line.substr(colon + 1, lastBlank - colon - 1));
    if (!value) {
      return 0;
    }
    if (key == "MemTotal") {
      memTotalKb = *value;
    } else if (key == "Shmem") {
      sumKb -= *value;
    } else {
      sumKb += *value;
    }
  }
  const int64_t availableMb = sumKb / 1024 - reserveMb(memTotalKb);
  if (availableMb < 0) {
    return 0;
  }
  return static_cast<int32_t>(std::min<int64_t>(availableMb, std::numeric_limits<int32_t>::max()));
}

int32_t availableMemoryMb()
{
  return availableMemoryMbFrom(FileUtils::readFile("/proc/meminfo"));
}

bool wouldBlock()
{
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

bool isPortFree(uint16_t port)
{
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0;
}

SystemInfo systemInfo()
{
  SystemInfo info;
  info.uptime = StringUtils::trimmed(exec({"uptime"}));
  info.availableMemoryMb = static_cast<uint32_t>(availableMemoryMb());
  info.freeSpaceMb = FileUtils::freeSpaceMb("/usr/local/");
  return info;
}

} // namespace SystemUtils
