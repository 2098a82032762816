#pragma once

#include "packages/PackageLock.h"

#include <string>

class PackageController;

// Replaces the local data of one installed package with the content of uploaded archives.
// Lives for one request: no install, removal, settings write or other import of the same
// package runs meanwhile.
class PackageDataImport {
public:
  // `localDataDirectory` is the package's "localdata" directory.
  PackageDataImport(PackageController& controller, std::string packageName, std::string localDataDirectory);

  PackageDataImport(const PackageDataImport&) = delete;
  PackageDataImport& operator=(const PackageDataImport&) = delete;

  // Unpacks the archive at `archivePath` beside the local data; then stops the package and
  // waits for its process to end, so that nothing it saves on the way out lands in the
  // imported data, and swaps the unpacked tree in by rename. The periodic start runs the
  // package on the new data. Throws a Failure when the archive cannot be unpacked or the
  // swap fails; the local data is then as it was.
  void import(const std::string& archivePath);

private:
  PackageController& controller;
  const std::string packageName;
  const std::string localDataDirectory;
  const PackageLock lock;
};
