#pragma once

#include "util/Limits.h"

#include <functional>
#include <string>

// What the package runtime is told about the application that hosts it. Built once by the
// application and shared, unchanged, by the controller and every package.
struct PackageRuntime {
  // The application's name: a package's ACAP_NAME.
  std::string appName;
  // The running application's version, compared with a manifest's required version.
  std::string appVersion;
  // The package roots of the two storages, each with its final "/"; FLASH is looked in first.
  std::string flashPackageRoot;
  std::string sdPackageRoot;
  // The ports handed to packages, both included, tried from the lowest.
  int firstPort = 0;
  int lastPort = -1;
  // The directory of the Node.js runtime (with its final "/", empty while none is
  // installed), read at each start of a package. Called from any thread.
  std::function<std::string()> nodeLocation;
  // The directory below which each package gets a cgroup of its own; empty where packages
  // are contained by their process groups alone.
  std::string cgroupBase;
  // Where each running package's process is recorded for a later Orvane (see
  // LeftoverProcesses), with its final "/"; empty: not recorded.
  std::string runningRecordDirectory;
  // The lines a second of a package's output copied into Orvane's log, and the burst
  // (see Limits).
  double logCopyLinesPerSecond = Limits::packageLogCopyLinesPerSecond;
  double logCopyBurstLines = Limits::packageLogCopyBurstLines;
  // What is read of a package's output a second.
  double outputBytesPerSecond = Limits::packageOutputBytesPerSecond;
};
