#pragma once

#include <string>

class PackageController;

// Removes the installed package `name`, one install, removal or import of the same package
// at a time: its process is stopped and has ended, its directory is gone in one rename, and
// it is unregistered (it stays enabled and is registered again when installed again).
// Throws PackageNotInstalled("Http API: remove package - package does not exist") when it
// is not installed (also for a name that breaks the package name rule), and
// std::runtime_error("Http API: remove package - package could not be removed"), after
// logging why, when its directory cannot be moved away.
void removeInstalledPackage(PackageController& controller, const std::string& name);
