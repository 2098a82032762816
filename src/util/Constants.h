#pragma once

#include <cstdint>

// What every layer knows about the application itself: its name, its version, its fixed
// ports and the periods of its main loop.
namespace Orvane {

constexpr const char* appName = "orvane";
constexpr const char* appVersion = "3.1.10";
constexpr uint16_t httpApiPort = 22520;
constexpr uint16_t webSocketPort = 22521;
constexpr uint16_t firstPackagePort = 22522;
constexpr uint16_t lastPackagePort = 22549;
constexpr unsigned checkParametersDelaySeconds = 1;
constexpr unsigned startPackagesPeriodSeconds = 5;
// On tmpfs: what runs survives Orvane's own crash here, and a reboot clears it with the
// processes it names.
constexpr const char* runningPackagesDirectory = "/tmp/orvane/running/";

} // namespace Orvane
