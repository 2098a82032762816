#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class PackageController;
class CameraParameters;

// Brings `controller` in line with the cached "PackageConfigurations" parameter of `params`,
// a JSON object such as {"clockAnalog": {"enabled": true}}: the enabled packages become the
// controller's enabled set, so that every enabled, installed package is registered and
// every other is unregistered (stopped); an enabled package that is not installed is
// logged, and registered once it is installed. Each package's memory limit is set as its
// entry says. Packages are not started here. A value that is not a JSON
// object, or breaks Limits::maxConfigurationsBytes or the JSON depth cap, changes nothing; members without a
// boolean "enabled" count as disabled. Runs on the main loop.
void applyPackageConfigurations(CameraParameters& params, PackageController& controller);

// One enabled package of the configurations.
struct EnabledPackage {
  std::string name;
  // "memory_limit_mib": empty when absent; unset (and `memoryLimitValid` false) when the
  // value is refused, so that the package keeps the limit it had.
  std::optional<uint32_t> memoryLimitMib;
  bool memoryLimitValid = true;
};

// Parses the configurations text `text` and calls `onEnabled` with each enabled package, in
// document order. Members that are not an object with a boolean "enabled" are logged as
// invalid and skipped. A "memory_limit_mib" that is not a whole number of MiB from 1 to
// `machineMemoryMib` is logged as invalid. False, with the parse error logged and
// `onEnabled` never called, when the text is not such an object within the limits.
bool forEachEnabledPackage(const std::string& text,
                           const std::function<void(const EnabledPackage&)>& onEnabled,
                           uint64_t machineMemoryMib);

// The memory of this machine in MiB.
uint64_t machineMemoryMib();
