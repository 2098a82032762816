#include "util/FileUtils.h"

#include "util/CHandle.h"
#include "util/Failure.h"
#include "util/FileSync.h"
#include "util/StringUtils.h"
#include "util/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>

namespace FileUtils {
namespace {

constexpr uint64_t bytesPerMb = 1048576;

using DirPtr = CHandle<DIR, closedir>;

// glibc's opendir already marks its descriptor close-on-exec.
DirPtr openDirectory(const std::string& path)
{
  return DirPtr(opendir(path.c_str()));
}

using GzPtr = CHandle<gzFile_s, gzclose_r>;

// A new file beside a target that takes the target's name only when committed; otherwise
// it is removed when it goes out of scope, so that a failure leaves the target untouched.
class TemporaryFile {
public:
  // The file is made in `inDirectory` when given (it must be on the target's file system),
  // else beside the target.
  TemporaryFile(const std::string& target, mode_t mode, const std::string& inDirectory = std::string())
      : target_(target)
  {
    static std::atomic<unsigned> counter{0};
    std::string directory;
    std::string name;
    std::string extension;
    splitPath(target, directory, name, extension);
    if (!inDirectory.empty()) {
      directory = inDirectory.back() == '/' ? inDirectory : inDirectory + "/";
    }
    // O_EXCL with a name no other writer uses: a per-process counter rather than a search,
    // retried a few times only past a stale file left by a process of the same id.
    constexpr int attempts = 16;
    for (int attempt = 0; attempt < attempts && !fd_; ++attempt) {
      path_ = directory + "." + name + extension + ".tmp" + std::to_string(getpid()) + "." +
              std::to_string(counter++);
      fd_.reset(open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
      if (!fd_ && errno != EEXIST) {
        break;
      }
    }
    if (!fd_) {
      path_.clear();
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile()
  {
    fd_.reset();
    if (!path_.empty()) {
      unlink(path_.c_str());
    }
  }

  int fd() const { return fd_.get(); }
  explicit operator bool() const { return fd_.valid(); }

  // Flushes the content to the disk and renames the file over the target. Without the
  // flush a crash soon after the rename could leave the target empty.
  bool commit()
  {
    if (!fd_ || !FileSync::syncDescriptor(fd_.get()) || fd_.reset() != 0 ||
        rename(path_.c_str(), target_.c_str()) != 0) {
      return false;
    }
    path_.clear();
    syncDirectoryOf(target_);
    return true;
  }

private:
  // The rename itself is durable only once the directory is; a failure here loses nothing
  // that was there before, so it is not reported.
  static void syncDirectoryOf(const std::string& target)
  {
    const size_t slash = target.rfind('/');
    FileSync::syncPath(slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash));
  }

  std::string target_;
  std::string path_;
  UniqueFd fd_;
};

bool mkdirOrExists(const std::string& path, mode_t mode)
{
  return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

void walk(const std::string& base, const std::string& relativeDir, std::vector<FileEntry>& entries)
{
  DirPtr dir = openDirectory(base + relativeDir);
  if (!dir) {
    return;
  }
  while (dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    // relativeDir is "" or "/a/b"; the listed path drops its leading "/".
    const std::string relative = relativeDir.empty() ? name : relativeDir.substr(1) + "/" + name;
    if (entry->d_type == DT_REG || entry->d_type == DT_LNK) {
      entries.push_back({relative, entry->d_type});
    } else if (entry->d_type == DT_DIR && name != "." && name != "..") {
      entries.push_back({relative, entry->d_type});
      walk(base, relativeDir + "/" + name, entries);
    }
  }
}

std::string withoutTrailingSlash(std::string path)
{
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

int removeEntry(const char* path, const struct stat*, int type, FTW*)
{
  const int result = type == FTW_DP ? rmdir(path) : unlink(path);
  return result == 0 || errno == ENOENT ? 0 : -1;
}

bool copyFile(const std::string& source, const std::string& destination, mode_t mode)
{
  UniqueFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  UniqueFd out(open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777));
  if (!in || !out) {
    return false;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(in.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      break;
    }
    if (!writeAll(out.get(), buffer, static_cast<size_t>(got))) {
      return false;
    }
  }
  // A copy that only reaches the disk later could still be lost after its source is gone.
  return FileSync::syncDescriptor(out.get()) && close(out.release()) == 0;
}

bool copyInto(const std::string& source, const std::string& destination)
{
  struct stat info {};
  if (lstat(source.c_str(), &info) != 0) {
    return false;
  }
  if (S_ISLNK(info.st_mode)) {
    std::string target(static_cast<size_t>(info.st_size) + 1, '\0');
    const ssize_t length = readlink(source.c_str(), &target[0], target.size());
    if (length < 0 || static_cast<size_t>(length) >= target.size()) {
      return false;
    }
    target.resize(static_cast<size_t>(length));
    return symlink(target.c_str(), destination.c_str()) == 0;
  }
  if (S_ISREG(info.st_mode)) {
    return copyFile(source, destination, info.st_mode);
  }
  if (!S_ISDIR(info.st_mode)) {
    return true; // sockets, fifos and devices are not package data
  }
  if (mkdir(destination.c_str(), info.st_mode & 07777) != 0) {
    return false;
  }
  DirPtr dir = openDirectory(source);
  if (!dir) {
    return false;
  }
  while (dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && !copyInto(source + "/" + name, destination + "/" + name)) {
      return false;
    }
  }
  return true;
}

} // namespace

bool removeTree(const std::string& path)
{
  const std::string target = withoutTrailingSlash(path);
  struct stat info {};
  if (lstat(target.c_str(), &info) != 0) {
    return errno == ENOENT;
  }
  // Depth first and without following links, so a link never leads the removal outside.
  constexpr int openDescriptors = 32;
  nftw(target.c_str(), removeEntry, openDescriptors, FTW_DEPTH | FTW_PHYS);
  return lstat(target.c_str(), &info) != 0 && errno == ENOENT;
}

bool copyTree(const std::string& source, const std::string& destination)
{
  return copyInto(withoutTrailingSlash(source), withoutTrailingSlash(destination));
}

std::string readFile(const std::string& path)
{
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    return {};
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return {};
    }
    if (got == 0) {
      break;
    }
    content.append(buffer, static_cast<size_t>(got));
  }
  if (!content.empty() && content.back() == '\n') {
    content.pop_back();
  }
  return content;
}

bool writeFile(const std::string& path, const std::string& content, bool append)
{
  if (!append) {
    TemporaryFile file(path, 0644);
    return file && writeAll(file.fd(), content.data(), content.size()) && file.commit();
  }
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_APPEND, 0644));
  if (!fd) {
    return false;
  }
  struct stat before {};
  const off_t formerSize = fstat(fd.get(), &before) == 0 ? before.st_size : 0;
  if (!writeAll(fd.get(), content.data(), content.size())) {
    // Removing the file would lose what was in it before this call.
    if (ftruncate(fd.get(), formerSize) != 0) {
      // Nothing more can be done; the caller learns of the failure anyway.
    }
    return false;
  }
  return true;
}

bool replaceFile(const std::string& path, const std::string& content, const std::string& temporaryDirectory)
{
  TemporaryFile file(path, 0644, temporaryDirectory);
  return file && writeAll(file.fd(), content.data(), content.size()) && file.commit();
}

bool makeDirectory(const std::string& path, mode_t mode, bool recursive)
{
  if (!recursive) {
    std::string single = path;
    if (!single.empty() && single.back() == '/') {
      single.pop_back();
    }
    return mkdirOrExists(single, mode);
  }
  std::string accumulated;
  for (const std::string& piece : StringUtils::split(path, '/')) {
    accumulated += piece;
    accumulated += '/';
    if (!piece.empty() && piece != "." && piece != ".." && !mkdirOrExists(accumulated, mode)) {
      return false;
    }
  }
  return true;
}

bool isDirectory(const std::string& path)
{
  std::string target = path;
  if (target.size() > 1 && target.back() == '/') {
    target.pop_back();
  }
  struct stat info {};
  return !target.empty() && stat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int64_t fileSize(const std::string& path)
{
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return -1;
  }
  return static_cast<int64_t>(info.st_size);
}

void splitPath(const std::string& path, std::string& directory, std::string& name, std::string& extension)
{
  directory = path;
  name = path;
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos) {
    name = path.substr(slash + 1);
    directory = path.substr(0, slash + 1);
  } else {
    directory.clear();
  }
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) {
    extension = name.substr(dot);
    name.erase(dot);
  }
}

std::vector<std::string> listDirectories(const std::string& path)
{
  std::vector<std::string> names;
  DirPtr dir = openDirectory(path);
  if (!dir) {
    return names;
  }
  while (dirent* entry = readdir(dir.get())) {
    if (entry->d_type == DT_DIR) {
      names.emplace_back(entry->d_name);
    }
  }
  return names;
}

std::vector<FileEntry> listFilesRecursive(const std::string& base, bool /*flag*/)
{
  std::vector<FileEntry> entries;
  walk(base, "", entries);
  return entries;
}

uint32_t freeSpaceMb(const std::string& path)
{
  struct statvfs info {};
  if (statvfs(path.c_str(), &info) != 0) {
    return 4294967295u;
  }
  return static_cast<uint32_t>(static_cast<uint64_t>(info.f_frsize) * info.f_bavail / bytesPerMb);
}

int64_t gzipUncompressedSize(const std::string& path)
{
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 4) {
    return -1;
  }
  unsigned char trailer[4];
  if (pread(fd.get(), trailer, sizeof trailer, info.st_size - 4) != 4) {
    return -1;
  }
  return static_cast<int64_t>(static_cast<uint32_t>(trailer[0]) | static_cast<uint32_t>(trailer[1]) << 8 |
                              static_cast<uint32_t>(trailer[2]) << 16 |
                              static_cast<uint32_t>(trailer[3]) << 24);
}

bool hasSpaceForDecompression(const std::string& targetDirectory, const std::string& gzipPath,
                              int64_t marginBytes)
{
  const int64_t size = gzipUncompressedSize(gzipPath);
  if (size < 0) {
    throw Failure(Failure::Kind::Io, "Couldn't read uncompressed size!");
  }
  struct statvfs info {};
  if (statvfs(targetDirectory.c_str(), &info) != 0) {
    return false;
  }
  // Whole MiB in 64 bits: a 32-bit count would turn 2 TiB and more of free space negative.
  const uint64_t availableMb = static_cast<uint64_t>(info.f_frsize) * info.f_bavail / bytesPerMb;
  const int64_t needed = size + marginBytes;
  return needed <= 0 || static_cast<uint64_t>(needed) <= availableMb * bytesPerMb;
}

bool decompressGzip(const std::string& source, const std::string& destination, mode_t mode)
{
  std::string directory;
  std::string name;
  std::string extension;
  splitPath(destination, directory, name, extension);
  if (!directory.empty() && !makeDirectory(directory, 0755, true)) {
    return false;
  }
  UniqueFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) {
    return false;
  }
  GzPtr archive(gzdopen(in.get(), "rb"));
  if (!archive) {
    return false;
  }
  in.release(); // closed by gzclose_r from now on
  constexpr unsigned readBuffer = 131072;
  gzbuffer(archive.get(), readBuffer);
  TemporaryFile out(destination, mode & 07777);
  if (!out) {
    return false;
  }
  char buffer[65536];
  for (;;) {
    const int got = gzread(archive.get(), buffer, sizeof buffer);
    // zlib passes input that is not gzip through unchanged ("direct"): that is no archive.
    if (got < 0 || gzdirect(archive.get()) != 0) {
      return false;
    }
    if (got == 0) {
      break;
    }
    if (!writeAll(out.fd(), buffer, static_cast<size_t>(got))) {
      return false;
    }
  }
  // A truncated archive reads as a short end of file; only the close reports it.
  if (gzclose_r(archive.release()) != Z_OK) {
    return false;
  }
  // The mode is set explicitly: the umask must not take the executable bit from a runtime.
  return fchmod(out.fd(), mode & 07777) == 0 && out.commit();
}

bool pathExists(const std::string& path)
{
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

bool isRealDirectory(const std::string& path)
{
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::vector<std::string> listEntries(const std::string& path)
{
  std::vector<std::string> names;
  DIR* directory = opendir(path.c_str());
  if (directory == nullptr) {
    return names;
  }
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  closedir(directory);
  return names;
}

bool writeControlFile(const std::string& path, const std::string& content)
{
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  ssize_t written;
  do {
    written = ::write(fd, content.data(), content.size());
  } while (written < 0 && errno == EINTR);
  ::close(fd);
  return written == static_cast<ssize_t>(content.size());
}

bool writeAll(int fd, const char* data, size_t size)
{
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

} // namespace FileUtils
