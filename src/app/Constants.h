#pragma once

#include <cstdint>

// Who the application is (its name and version), where it listens and the periods of its
// main loop. Only the application reads them; it hands each service what that needs.
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

// "release-<build number>|<source revision>|<build time>", fixed when the program is built.
const char* buildId();

} // namespace Orvane
