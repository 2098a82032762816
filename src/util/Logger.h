#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Process-wide logging: every accepted message goes to the system log and, when console
// output is on, to standard output as one time-stamped line.
enum class LogLevel : int32_t { None = 0, Error = 1, Warning = 2, Info = 3, Debug = 4, Trace = 5 };

namespace Logger {

// Logs `message` when `level` is at most the current level. Always returns true.
bool log(const std::string& message, LogLevel level);

LogLevel getLevel();

// Sets the current level from a level name; unknown names mean Info.
void setLevel(const std::string& name);

// "none", "error", "warning", "info", "debug", "trace" (exact case) to 0-5; anything else Info.
LogLevel levelFromString(const std::string& name);

// The 11-character label of a level, such as "[ Warning ]".
std::string levelLabel(LogLevel level);

void setConsoleOutput(bool enabled);

// Runs `task` on a thread that must outlive whatever it throws: an exception is logged at
// Error as `context` + ": " + its text, and goes no further.
void runLoggingFailure(const std::function<void()>& task, const std::string& context);

// The console line for `message` at `level`, without the trailing newline, using the
// given local time and millisecond reading.
std::string formatConsoleLine(const std::string& message, LogLevel level, time_t seconds,
                              int64_t milliseconds);

} // namespace Logger
