#pragma once

#include <string>

// Where packages, their runtime and the application's own files live on the camera's two
// storages. Directory paths end in "/".
namespace PackagePaths {

constexpr const char* flashStorage = "FLASH";
constexpr const char* sdStorage = "SD_DISK";

// Names the application whose directories these are: "orvane" makes the application
// directory "/usr/local/packages/orvane/". Set once at start, before any other thread reads
// the paths.
void setApplicationName(const std::string& name);

// "/usr/local/packages/<application name>/": the application directory.
std::string applicationDirectory();
// The Node.js runtime shipped as a gzip file, deleted once unpacked.
std::string nodeArchive();
// The application directory's "tools/": the FLASH location of the Node.js runtime.
std::string flashNodeLocation();
// Shared libraries offered to packages through LD_LIBRARY_PATH.
std::string libraryDirectory();
// The application directory's "localdata/".
std::string localDataDirectory();
// One subdirectory per package kept on FLASH.
std::string flashPackageRoot();
// "/var/spool/storage/SD_DISK/": the SD card's mount point.
std::string sdCardDirectory();
// The application's directory on the SD card; also the SD location of the Node.js runtime.
std::string sdApplicationDirectory();
// One subdirectory per package kept on the SD card.
std::string sdPackageRoot();

// The staging directory of a package root (given with its final "/"): the root's entry
// ".staging/". Work in progress on the packages of that root (unpacked installs, an earlier
// installation set aside, a removal, imported data, uploads) lives there, on the file system
// of the packages, so that moving it into place is a rename. Its name breaks the package
// name rule, so nothing looks a package up or lists one there.
std::string stagingDirectory(const std::string& packageRoot);
// The kept directory of a package root: its entry ".kept/", where the version that a new one
// on probation replaced waits (see KeptVersion). Hidden like the staging directory, and kept
// when that is cleaned.
std::string keptDirectory(const std::string& packageRoot);
// True when the directory entry `name` of a package root can be a package: not hidden, so
// neither ".", "..", the staging directory nor the kept directory.
bool isPackageEntry(const std::string& name);
// The package root that holds the package directory `packageDirectory` (no final "/"
// needed), with its final "/".
std::string packageRootOf(const std::string& packageDirectory);
// Makes the staging directory of `packageRoot` exist (mode 0700, one level; the root must
// exist). True when it exists afterwards.
bool ensureStagingDirectory(const std::string& packageRoot);

// Moves the two fixed prefixes ("/usr/local/packages/" and "/var/spool/storage/SD_DISK/")
// below other directories, so that tests can lay the storages out in a temporary directory.
// Both arguments end in "/". Call before any other thread reads the paths.
void setBaseDirectoriesForTesting(const std::string& packagesBase, const std::string& sdCardBase);

} // namespace PackagePaths

// Creates the SD card's application directory and package root when they are missing, one
// level each. True when both exist afterwards; false without an SD card.
bool prepareSdCardDirectories();
