#pragma once

#include "packages/ChildProcess.h"

#include <cstdint>
#include <optional>
#include <string>

// A version put back in the place of one that failed its probation.
struct PackageRollback {
  std::string fromVersion;
  std::string toVersion;
  std::string reason;
  // "restored" (the data kept from before the install) or "kept_current".
  std::string data;
  int64_t atMs = 0;
};

// What a registered package is doing, as its supervision sees it at one moment.
struct PackageStatus {
  enum class State { Stopped, Running, Restarting, CrashLoop, CannotStart };

  State state = State::Stopped;
  // Why, in CannotStart and CrashLoop; empty otherwise.
  std::string reason;
  // The process, while one runs.
  std::optional<pid_t> pid;
  // When the running process started, in milliseconds since the UNIX epoch, and for how long.
  std::optional<int64_t> startedAtMs;
  std::optional<int64_t> uptimeSeconds;
  // Starts after the first one since the package was registered or installed.
  unsigned restarts = 0;
  std::optional<ExitStatus> lastExit;
  // "memory_limit" when Orvane ended the last run because of its memory; empty otherwise.
  std::string lastExitCause;
  // "cgroup" or "process_group": what holds the package's processes together.
  const char* containment = "process_group";
  std::optional<uint32_t> memoryLimitMib;
  // While a new version is on probation: when it is expected to pass (ms since the epoch), and
  // whether a previous version is kept to come back to.
  std::optional<int64_t> probationUntilMs;
  bool rollbackAvailable = true;
  std::optional<PackageRollback> rollback;
  std::optional<ProcessUsage> usage;
  // In CrashLoop: seconds until the next start may happen (at the next start tick after).
  std::optional<int64_t> nextStartInSeconds;

  // "stopped", "running", "restarting", "crash_loop" or "cannot_start".
  static const char* stateName(State state)
  {
    switch (state) {
    case State::Running:
      return "running";
    case State::Restarting:
      return "restarting";
    case State::CrashLoop:
      return "crash_loop";
    case State::CannotStart:
      return "cannot_start";
    case State::Stopped:
      break;
    }
    return "stopped";
  }
};
