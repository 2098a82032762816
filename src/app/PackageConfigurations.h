#pragma once

// Brings the package controller in line with the "PackageConfigurations" parameter, a JSON
// object such as {"clockAnalog": {"enabled": true}}: registers every enabled package that
// is not registered yet and unregisters (stopping it) every registered one that is not
// enabled. Packages are not started here. A value that is not a JSON object changes
// nothing; members without a boolean "enabled" count as disabled. Runs on the main loop.
void applyPackageConfigurations();
