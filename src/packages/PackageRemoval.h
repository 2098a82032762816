#pragma once

#include <string>

class PackageController;

// Removes the installed package `name`, one install, removal or import of the same package
// at a time: its process is stopped and has ended, its directory is gone in one rename, and
// it is unregistered (it stays enabled and is registered again when installed again).
// Throws a Failure of kind NotFound when it is not installed (also for a name that breaks the
// package name rule), and one saying why when its directory cannot be moved away.
void removeInstalledPackage(PackageController& controller, const std::string& name);
