#pragma once

#include <string>

class PackageController;

// Installs the package archive at `archivePath` on `storage` ("FLASH", else the SD card),
// one install, removal or import of the same package at a time. The running instance is
// stopped before its files are touched, the local data of an earlier installation (on
// either storage) is carried over whole, and an enabled package is registered at its new
// directory; the controller's periodic start runs it. Throws a Failure: of kind Conflict
// when the package lives on the other storage, BadInput or TooLarge when the archive or its
// manifest is refused, Io when the storage fails; after a failure no temporary tree is left
// and an earlier installation is intact.
void installPackage(PackageController& controller, const std::string& archivePath,
                    const std::string& storage);
