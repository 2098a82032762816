#include "util/Logger.h"

#include "util/FileUtils.h"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <ctime>

namespace Logger {
namespace {

std::atomic<LogLevel> currentLevel{LogLevel::Info};
std::atomic<bool> consoleOutput{false};

int syslogPriority(LogLevel level)
{
  switch (level) {
  case LogLevel::Error:
    return LOG_ERR;
  case LogLevel::Warning:
    return LOG_WARNING;
  default:
    return LOG_INFO;
  }
}

} // namespace

bool log(const std::string& message, LogLevel level)
{
  if (currentLevel.load(std::memory_order_relaxed) < level) {
    return true;
  }
  syslog(syslogPriority(level), "%s", message.c_str());
  if (consoleOutput.load(std::memory_order_relaxed)) {
    // Seconds and milliseconds from one reading: time() reads a coarser clock, and near a
    // second's turn the two readings put a line a second early.
    const int64_t sinceEpochMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    const auto now = static_cast<time_t>(sinceEpochMs / 1000);
    const int64_t ms = sinceEpochMs % 1000;
    // One write per line, so that lines logged by two threads never interleave.
    const std::string line = formatConsoleLine(message, level, now, ms) + "\n";
    FileUtils::writeAll(STDOUT_FILENO, line.data(), line.size());
  }
  return true;
}

LogLevel getLevel()
{
  return currentLevel.load(std::memory_order_relaxed);
}

void setLevel(const std::string& name)
{
  currentLevel = levelFromString(name);
}

LogLevel levelFromString(const std::string& name)
{
  static const char* const names[] = {"none", "error", "warning", "info", "debug", "trace"};
  for (int i = 0; i < 6; ++i) {
    if (name == names[i]) {
      return static_cast<LogLevel>(i);
    }
  }
  return LogLevel::Info;
}

std::string levelLabel(LogLevel level)
{
  switch (level) {
  case LogLevel::Error:
    return "[ Error   ]";
  case LogLevel::Warning:
    return "[ Warning ]";
  case LogLevel::Debug:
    return "[ Debug   ]";
  case LogLevel::Trace:
    return "[ Trace   ]";
  default:
    return "[ Info    ]";
  }
}

void setConsoleOutput(bool enabled)
{
  consoleOutput = enabled;
}

std::string formatConsoleLine(const std::string& message, LogLevel level, time_t seconds,
                              int64_t milliseconds)
{
  struct tm local {};
  localtime_r(&seconds, &local);
  char stamp[80];
  size_t length = strftime(stamp, sizeof stamp, "%Y-%m-%d %T", &local);
  char millis[8];
  snprintf(millis, sizeof millis, "%03d", static_cast<int>(milliseconds));
  std::string line(stamp, length);
  line += '.';
  line += millis;
  line += ' ';
  line += levelLabel(level);
  line += ' ';
  line += message;
  return line;
}

void runLoggingFailure(const std::function<void()>& task, const std::string& context)
{
  try {
    task();
  } catch (const std::exception& exception) {
    log(context + ": " + exception.what(), LogLevel::Error);
  } catch (...) {
    log(context + ": unknown error", LogLevel::Error);
  }
}

} // namespace Logger
