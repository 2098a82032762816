#pragma once

#include <string>

// Making files, directories and renames durable: what these functions report as synced
// survives a crash of the whole machine, not only of this process.
namespace FileSync {

// How trees are flushed. FileSystem: one syncfs of the tree's file system, which writes
// back everything pending there in one go (cheapest for trees of many files). PerFile: an
// fsync of each file and directory. Off: nothing is flushed at all; only for measuring
// what durability costs, never on a camera.
enum class Mode { FileSystem, PerFile, Off };

// Sets the process-wide mode; FileSystem unless set. Call before other threads sync.
void setMode(Mode mode);
Mode mode();
// The mode named "filesystem", "perfile" or "off"; FileSystem for any other text.
Mode modeNamed(const std::string& name);

// Flushes the open file `fd` (its content and size) to the disk. True in mode Off.
bool syncDescriptor(int fd);
// Flushes the file or directory at `path`; for a directory that makes the entries created,
// renamed or removed in it durable. True in mode Off.
bool syncPath(const std::string& path);
// Flushes every file and directory at and below `path` (links are not followed). True in
// mode Off.
bool syncTree(const std::string& path);

} // namespace FileSync
