#pragma once

#include <functional>
#include <string>

// Brings the package controller in line with the "PackageConfigurations" parameter, a JSON
// object such as {"clockAnalog": {"enabled": true}}: registers every enabled package that
// is not registered yet and unregisters (stopping it) every registered one that is not
// enabled. Packages are not started here. A value that is not a JSON object, or breaks
// Limits::maxConfigurationsBytes or the JSON depth cap, changes nothing; members without a
// boolean "enabled" count as disabled. Runs on the main loop.
void applyPackageConfigurations();

// Parses the configurations text `text` and calls `onEnabled` with each enabled package name,
// in document order. Members that are not an object with a boolean "enabled" are logged as
// invalid and skipped. False, with the parse error logged and `onEnabled` never called, when
// the text is not such an object within the limits.
bool forEachEnabledPackage(const std::string& text, const std::function<void(const std::string&)>& onEnabled);
