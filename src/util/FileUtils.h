#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace FileUtils {

// One row of listFilesRecursive: a path relative to the listed directory and its
// directory-entry type (DT_DIR 4, DT_REG 8, DT_LNK 10).
struct FileEntry {
  std::string path;
  uint8_t type = 0;
};

// The whole file without its one final newline (a "\r" before it stays); "" when the path
// cannot be opened or read (a directory, for instance).
std::string readFile(const std::string& path);

// Writes `content` to `path`, replacing the file, or at its end when `append` is set
// (creating it in both cases, mode 0644 less the umask). Replacing is atomic: the content
// goes to a new file beside `path`, reaches the disk and then takes the name, so that a
// reader sees the old file or the whole new one, never a part. On failure false is
// returned and `path` is as before: a replaced file keeps its old content, an appended one
// is cut back to its former length. A symbolic link at `path` is replaced, not followed.
bool writeFile(const std::string& path, const std::string& content, bool append = false);

// Writes `content` into the existing file `path` in one write, without creating, replacing
// or truncating anything: for kernel control files (/proc, /sys), which take a value
// written whole or refuse it. False when it cannot be opened or the write is refused.
bool writeControlFile(const std::string& path, const std::string& content);

// Replaces `path` with `content` as writeFile does, but builds the new file in
// `temporaryDirectory` (on the same file system as `path`), so that no unfinished file is
// ever seen beside `path`, not even after a crash.
bool replaceFile(const std::string& path, const std::string& content, const std::string& temporaryDirectory);

// Writes all `size` bytes of `data` to `fd`, retrying short writes and interruptions.
bool writeAll(int fd, const char* data, size_t size);

// Creates the directory `path` with `mode` less the process's umask (and with `recursive`,
// every missing parent); true when it exists afterwards (an existing path counts). The
// umask is left as it is.
bool makeDirectory(const std::string& path, mode_t mode, bool recursive = false);

// Removes `path` and, when it is a directory, everything below it; symbolic links are
// removed, never followed. True when nothing is left at `path` (a missing path counts).
bool removeTree(const std::string& path);
// Copies the tree at `source` to `destination`, which must not exist yet: directories and
// regular files with their permission bits, symbolic links as links. False on the first
// failure; what was copied so far stays for the caller to remove.
bool copyTree(const std::string& source, const std::string& destination);
// True when something (a dangling symbolic link included) is at `path`; links are not followed.
bool pathExists(const std::string& path);
// True when `path` is a directory itself, not a symbolic link to one.
bool isRealDirectory(const std::string& path);
// Names of every entry of the directory `path` but "." and "..", in the system's order;
// empty when it cannot be opened.
std::vector<std::string> listEntries(const std::string& path);
// True when `path` (a trailing "/" allowed) names a directory, following symbolic links.
bool isDirectory(const std::string& path);

// Size of the regular file at `path`; -1 when it is missing or not a regular file.
int64_t fileSize(const std::string& path);

// Splits "/a/b/node.gz" into "/a/b/", "node" and ".gz". Without a "/" the directory is
// empty; without a "." in the name `extension` is left untouched.
void splitPath(const std::string& path, std::string& directory, std::string& name, std::string& extension);

// Names of the directory entries of `path` whose type is directory ("." and ".." included),
// in the system's order; empty when the directory cannot be opened.
std::vector<std::string> listDirectories(const std::string& path);

// Every regular file, symbolic link and directory below `base` (links are not followed),
// each directory before its content. `flag` is accepted for existing callers and changes
// nothing.
std::vector<FileEntry> listFilesRecursive(const std::string& base, bool flag = false);

// Space available to unprivileged users on the file system holding `path`, in whole MiB;
// 4294967295 when it cannot be queried.
uint32_t freeSpaceMb(const std::string& path);

// The uncompressed size (modulo 2^32) recorded in the last four bytes of a gzip file; -1 when
// the file is missing, not a regular file or shorter than four bytes.
int64_t gzipUncompressedSize(const std::string& path);

// Whether the file system of `targetDirectory` has room, in whole MiB, for the uncompressed
// content of `gzipPath` plus `marginBytes`. Throws an I/O Failure ("Couldn't read
// uncompressed size!") when the gzip size cannot be read; false when the target cannot be
// queried.
bool hasSpaceForDecompression(const std::string& targetDirectory, const std::string& gzipPath,
                              int64_t marginBytes);

// Unpacks the gzip file `source` into the file `destination`, which gets exactly `mode`;
// the destination's directory is created first (0755 less the umask). The destination is
// replaced only by a complete, intact content: on false (missing, corrupt or truncated
// archive, a file that is not gzip, a write error) it is as before.
bool decompressGzip(const std::string& source, const std::string& destination, mode_t mode = 0644);

} // namespace FileUtils
