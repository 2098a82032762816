#pragma once

#include <string>

class PackageController;

// The text of the installed package's settings file (localdata/settings.json); empty when
// the package is not installed, has no settings or the name breaks the package name rule.
std::string readPackageSettings(const PackageController& controller, const std::string& name);

// Replaces the installed package's settings file with `text`, one install, removal or import
// of the same package at a time, then sends SIGINT to its process if it runs, so that it
// reads them again. Throws a Failure of kind NotFound when it is not installed, and an I/O
// Failure when the file cannot be written.
void writePackageSettings(PackageController& controller, const std::string& name, const std::string& text);

// True for the name of a settings file that an interrupted write left unfinished in a
// package's local data.
bool isUnfinishedSettingsFile(const std::string& name);
