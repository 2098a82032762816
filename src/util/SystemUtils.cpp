#include "util/SystemUtils.h"

#include "util/FileUtils.h"
#include "util/Logger.h"
#include "util/StringUtils.h"
#include "util/UniqueFd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

std::string exec(const std::string& command, int& exitStatus)
{
  exitStatus = 0;
  // "e": the pipe's descriptor must not leak into children forked later by other threads.
  FILE* pipe = popen(command.c_str(), "re");
  if (pipe == nullptr) {
    Logger::log(std::string("Exec popen error: ") + std::strerror(errno), LogLevel::Error);
    exitStatus = -1;
    return {};
  }
  std::string output;
  char buffer[128];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    output += buffer;
  }
  if (std::ferror(pipe)) {
    Logger::log(std::string("Exec read error: ") + std::strerror(errno), LogLevel::Error);
  }
  const int status = pclose(pipe);
  if (status == -1) {
    exitStatus = -1;
  } else if (WIFSIGNALED(status)) {
    // A killed command must not look like a successful one.
    exitStatus = 128 + WTERMSIG(status);
  } else {
    exitStatus = WEXITSTATUS(status);
  }
  return output;
}

std::string exec(const std::string& command)
{
  int exitStatus = 0;
  return exec(command, exitStatus);
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
  info.uptime = StringUtils::trimmed(exec("uptime"));
  info.availableMemoryMb = static_cast<uint32_t>(availableMemoryMb());
  info.freeSpaceMb = FileUtils::freeSpaceMb("/usr/local/");
  return info;
}

} // namespace SystemUtils
