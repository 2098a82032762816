#include "util/ZipUtils.h"

#include "util/CHandle.h"
#include "util/FileUtils.h"
#include "util/Limits.h"
#include "util/UniqueFd.h"
#include "util/ZipCentralDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_set>

namespace ZipUtils {
namespace {

constexpr uint8_t typeDirectory = 4;
constexpr uint8_t typeRegular = 8;
constexpr size_t chunkSize = 65536;
constexpr uint64_t maxLinkTarget = 4095;

using ArchivePtr = CHandle<zip_t, zip_discard>;
using EntryPtr = CHandle<zip_file_t, zip_fclose>;
using SourcePtr = CHandle<zip_source_t, zip_source_free>;

class ZipError {
public:
  ZipError() { zip_error_init(&error_); }
  ~ZipError() { zip_error_fini(&error_); }
  ZipError(const ZipError&) = delete;
  ZipError& operator=(const ZipError&) = delete;
  zip_error_t* get() { return &error_; }
  std::string text() { return zip_error_strerror(&error_); }

private:
  zip_error_t error_;
};

// Inside, a failure is thrown and ends the whole call; the functions of the header return it.
Failure refused(const std::string& reason)
{
  return Failure(Failure::Kind::BadInput, reason);
}

Failure tooLarge(const std::string& reason)
{
  return Failure(Failure::Kind::TooLarge, reason);
}

Failure ioFailure(const std::string& reason)
{
  return Failure(Failure::Kind::Io, reason);
}

enum class Kind { File, Directory, Link };

struct Planned {
  zip_uint64_t index;
  std::string name;     // as stored in the archive
  std::string relative; // cleaned: no empty or "." components, no trailing "/"
  Kind kind;
  uint64_t size;
};

// Cleans an entry name into a path relative to the destination; false for names that could
// reach outside it (absolute, or with a ".." component).
bool relativePathOf(const std::string& name, std::string& relative)
{
  if (name.empty() || name.front() == '/') {
    return false;
  }
  relative.clear();
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) {
      end = name.size();
    }
    const std::string component = name.substr(start, end - start);
    if (component == "..") {
      return false;
    }
    if (!component.empty() && component != ".") {
      if (!relative.empty()) {
        relative += '/';
      }
      relative += component;
    }
    start = end + 1;
  }
  return true;
}

// A link's target may climb with leading ".." components no higher than the destination and
// then only descend: a ".." after a name could climb out through another link.
bool linkStaysInside(const std::string& relative, const std::string& target)
{
  if (target.empty() || target.front() == '/' || target.find('\0') != std::string::npos) {
    return false;
  }
  size_t depth = 0;
  for (char c : relative) {
    depth += c == '/';
  }
  bool descended = false;
  size_t start = 0;
  while (start <= target.size()) {
    size_t end = target.find('/', start);
    if (end == std::string::npos) {
      end = target.size();
    }
    const std::string component = target.substr(start, end - start);
    if (component == "..") {
      if (descended || depth == 0) {
        return false;
      }
      --depth;
    } else if (!component.empty() && component != ".") {
      descended = true;
    }
    start = end + 1;
  }
  return true;
}

Kind kindOf(zip_t* archive, zip_uint64_t index, const std::string& name)
{
  if (name.back() == '/') {
    return Kind::Directory;
  }
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) == 0 &&
      system == ZIP_OPSYS_UNIX) {
    const mode_t mode = static_cast<mode_t>(attributes >> 16);
    if (S_ISLNK(mode)) {
      return Kind::Link;
    }
    if (S_ISDIR(mode)) {
      return Kind::Directory;
    }
  }
  return Kind::File;
}

bool readLinkTarget(zip_t* archive, const Planned& entry, std::string& target)
{
  if (entry.size == 0 || entry.size > maxLinkTarget) {
    return false;
  }
  EntryPtr file(zip_fopen_index(archive, entry.index, 0));
  if (!file) {
    return false;
  }
  char buffer[maxLinkTarget + 1];
  uint64_t got = 0;
  while (got <= entry.size) {
    const zip_int64_t n = zip_fread(file.get(), buffer + got, sizeof buffer - got);
    if (n < 0) {
      return false;
    }
    if (n == 0) {
      break;
    }
    got += static_cast<uint64_t>(n);
  }
  if (got != entry.size) {
    return false;
  }
  target.assign(buffer, got);
  return true;
}

// Reads every entry's name and kind and refuses the archive, before anything is written,
// when one of them could land outside the destination or is named twice.
void planExtraction(zip_t* archive, zip_int64_t count, std::vector<Planned>& plan)
{
  std::unordered_set<std::string> names;
  std::unordered_set<std::string> links;
  for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, i, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_NAME) || stat.name == nullptr ||
        !(stat.valid & ZIP_STAT_SIZE)) {
      throw refused("Could not read archive entry " + std::to_string(i));
    }
    Planned entry{i, stat.name, {}, Kind::File, stat.size};
    if (!relativePathOf(entry.name, entry.relative)) {
      throw refused("Refusing archive entry outside the destination: " + entry.name);
    }
    entry.kind = kindOf(archive, i, entry.name);
    if (entry.relative.empty() && entry.kind != Kind::Directory) {
      throw refused("Refusing archive entry outside the destination: " + entry.name);
    }
    if (!names.insert(entry.relative).second) {
      throw refused("Refusing archive with duplicate entry: " + entry.name);
    }
    if (entry.kind == Kind::Link) {
      std::string target;
      if (!readLinkTarget(archive, entry, target) || !linkStaysInside(entry.relative, target)) {
        throw refused("Refusing symbolic link leading out of the destination: " + entry.name);
      }
      links.insert(entry.relative);
    }
    plan.push_back(std::move(entry));
  }
  for (const Planned& entry : plan) {
    for (size_t slash = entry.relative.find('/'); slash != std::string::npos;
         slash = entry.relative.find('/', slash + 1)) {
      if (links.count(entry.relative.substr(0, slash)) != 0) {
        throw refused("Refusing archive entry below a symbolic link: " + entry.name);
      }
    }
  }
}

// True when no component of `relative` below `destination` that exists already is a symbolic
// link (the last component is left to the caller, which does not follow it).
bool noLinkOnTheWay(const std::string& destination, const std::string& relative, bool includeLast)
{
  const std::string prefix = destination.empty() ? "" : destination + "/";
  size_t slash = relative.find('/');
  while (true) {
    const bool last = slash == std::string::npos;
    if (last && !includeLast) {
      return true;
    }
    struct stat info {};
    const std::string path = prefix + (last ? relative : relative.substr(0, slash));
    if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
      return false;
    }
    if (last) {
      return true;
    }
    slash = relative.find('/', slash + 1);
  }
}

void writeEntry(zip_t* archive, const Planned& entry, const std::string& path, std::vector<char>& buffer)
{
  EntryPtr file(zip_fopen_index(archive, entry.index, 0));
  if (!file) {
    throw refused("Could not open file from archive: " + entry.name);
  }
  // O_NOFOLLOW: a link already at the path is never written through.
  UniqueFd out(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!out) {
    throw ioFailure("Could not write file: " + path);
  }
  uint64_t total = 0;
  for (;;) {
    const zip_int64_t got = zip_fread(file.get(), buffer.data(), buffer.size());
    if (got < 0) {
      throw refused("Could not read file from archive: " + entry.name + ": " + zip_file_strerror(file.get()));
    }
    if (got == 0) {
      break;
    }
    total += static_cast<uint64_t>(got);
    // The recorded sizes are what the caller checked against free space.
    if (total > entry.size) {
      throw refused("Archive entry larger than its recorded size: " + entry.name);
    }
    if (!FileUtils::writeAll(out.get(), buffer.data(), static_cast<size_t>(got))) {
      throw ioFailure("Could not write file: " + path + ": " + std::strerror(errno));
    }
  }
  if (total != entry.size) {
    throw refused("Could not read file from archive: " + entry.name);
  }
  if (out.reset() != 0) {
    throw ioFailure("Could not write file: " + path + ": " + std::strerror(errno));
  }
}

void extractOne(zip_t* archive, const Planned& entry, const std::string& destination,
                std::vector<char>& buffer)
{
  const std::string path = destination.empty() ? entry.relative : destination + "/" + entry.relative;
  if (!noLinkOnTheWay(destination, entry.relative, entry.kind == Kind::Directory)) {
    throw refused("Refusing to write through a symbolic link: " + path);
  }
  if (entry.kind == Kind::Directory) {
    if (!FileUtils::makeDirectory(path, 0755, true)) {
      throw ioFailure("Could not create dir: " + path);
    }
    return;
  }
  std::string directory;
  std::string name;
  std::string extension;
  FileUtils::splitPath(path, directory, name, extension);
  if (!directory.empty() && !FileUtils::makeDirectory(directory, 0755, true)) {
    throw ioFailure("Could not create dir: " + path);
  }
  if (entry.kind == Kind::Link) {
    std::string target;
    if (!readLinkTarget(archive, entry, target)) {
      throw refused("Could not open file from archive: " + entry.name);
    }
    if (symlink(target.c_str(), path.c_str()) != 0) {
      throw ioFailure("Could not write file: " + path + ": " + std::strerror(errno));
    }
    return;
  }
  return writeEntry(archive, entry, path, buffer);
}

class FileBytes : public ZipCentralDirectory::ArchiveBytes {
public:
  FileBytes(int fd, uint64_t size) : fd_(fd), size_(size) {}
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* buffer, size_t length) const override
  {
    char* out = static_cast<char*>(buffer);
    while (length > 0) {
      const ssize_t got = pread(fd_, out, length, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        return false;
      }
      out += got;
      offset += static_cast<uint64_t>(got);
      length -= static_cast<size_t>(got);
    }
    return true;
  }

private:
  int fd_;
  uint64_t size_;
};

class MemoryBytes : public ZipCentralDirectory::ArchiveBytes {
public:
  MemoryBytes(const void* data, size_t length) : data_(static_cast<const char*>(data)), length_(length) {}
  uint64_t size() const override { return length_; }
  bool read(uint64_t offset, void* buffer, size_t length) const override
  {
    if (offset > length_ || length > length_ - offset) {
      return false;
    }
    std::memcpy(buffer, data_ + offset, length);
    return true;
  }

private:
  const char* data_;
  size_t length_;
};

// Space available to unprivileged users below `destination`; the maximum when unknown, so
// that a file system that cannot say is not taken for a full one.
uint64_t freeBytes(const std::string& destination)
{
  struct statvfs info {};
  if (statvfs(destination.empty() ? "." : destination.c_str(), &info) != 0) {
    return std::numeric_limits<uint64_t>::max();
  }
  return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

// libzip does not say where an entry's data lies, so the directory is read again from the
// bytes, and trusted only where it agrees entry by entry with what libzip extracts from.
bool sameEntries(zip_t* archive, const std::vector<ZipCentralDirectory::Record>& records)
{
  for (zip_uint64_t i = 0; i < records.size(); ++i) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    const char* rawName = zip_get_name(archive, i, ZIP_FL_ENC_RAW);
    if (rawName == nullptr || zip_stat_index(archive, i, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE) ||
        !(stat.valid & ZIP_STAT_COMP_SIZE) || records[i].name != rawName ||
        records[i].compressedSize != stat.comp_size || records[i].uncompressedSize != stat.size) {
      return false;
    }
  }
  return true;
}

// Refuses, before anything is written, an archive that would unpack into more than the
// limits or the destination's free space allow. Entries sharing their data are the way a
// small archive unpacks into a huge tree, so they are refused whatever their sizes.
void checkArchiveSize(zip_t* archive, zip_int64_t count, const ZipCentralDirectory::ArchiveBytes& bytes,
                      const std::string& destination)
{
  const uint64_t entries = static_cast<uint64_t>(count);
  if (entries > Limits::maxArchiveEntries) {
    throw tooLarge("Refusing archive: " + std::to_string(entries) + " entries exceed the limit of " +
                   std::to_string(Limits::maxArchiveEntries));
  }
  std::vector<ZipCentralDirectory::Record> records;
  if (!ZipCentralDirectory::read(bytes, Limits::maxArchiveEntries, records) || records.size() != entries ||
      !sameEntries(archive, records)) {
    throw refused("Refusing archive: its central directory cannot be read");
  }
  const std::optional<bool> overlap = ZipCentralDirectory::entriesOverlap(bytes, records);
  if (!overlap) {
    throw refused("Refusing archive: its central directory cannot be read");
  }
  if (*overlap) {
    throw refused("Refusing archive: entries overlap");
  }
  uint64_t unpacked = 0;
  for (const ZipCentralDirectory::Record& record : records) {
    unpacked += std::min(record.uncompressedSize, Limits::maxArchiveUnpackedBytes + 1);
    if (unpacked > Limits::maxArchiveUnpackedBytes) {
      throw tooLarge("Refusing archive: unpacked size exceeds the limit of " +
                     std::to_string(Limits::maxArchiveUnpackedBytes));
    }
  }
  const uint64_t available = freeBytes(destination);
  if (unpacked > available) {
    throw tooLarge("Refusing archive: unpacked size " + std::to_string(unpacked) + " exceeds free space " +
                   std::to_string(available));
  }
}

void prepareDestination(const std::string& destination)
{
  if (!destination.empty() && !FileUtils::makeDirectory(destination, 0755, true)) {
    throw ioFailure("Could not create dir: " + destination);
  }
}

// The extraction loop shared by both: checks every entry of the open `archive`, whose bytes
// are `bytes`, then writes them below `destination`.
void extractEntries(zip_t* archive, const ZipCentralDirectory::ArchiveBytes& bytes,
                    const std::string& destination)
{
  const zip_int64_t count = zip_get_num_entries(archive, ZIP_FL_UNCHANGED);
  if (count < 1) {
    return;
  }
  checkArchiveSize(archive, count, bytes, destination);
  std::vector<Planned> plan;
  planExtraction(archive, count, plan);
  std::vector<char> buffer(chunkSize);
  for (const Planned& entry : plan) {
    extractOne(archive, entry, destination, buffer);
  }
}

// Opens the archive file read-only on a close-on-exec descriptor (libzip's own opening does
// not promise that, and child processes are forked from this process). `fd` keeps a second
// descriptor of the same file, for reading its bytes directly; `size` is the file's size.
ArchivePtr openArchiveFile(const std::string& archivePath, UniqueFd& fd, uint64_t& size, std::string& failure)
{
  fd.reset(open(archivePath.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return nullptr;
  }
  size = static_cast<uint64_t>(info.st_size);
  UniqueFd streamFd(fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  if (!streamFd) {
    return nullptr;
  }
  FILE* stream = fdopen(streamFd.get(), "rb");
  if (stream == nullptr) {
    return nullptr;
  }
  streamFd.release();
  ZipError error;
  SourcePtr source(zip_source_filep_create(stream, 0, -1, error.get()));
  if (!source) {
    std::fclose(stream);
    return nullptr;
  }
  ArchivePtr archive(zip_open_from_source(source.get(), ZIP_RDONLY, error.get()));
  if (archive) {
    source.release();
  } else {
    failure = error.text();
  }
  return archive;
}

// The entries written into the open, new `archive` at `archivePath`, then the archive closed.
void writeEntries(ArchivePtr& archive, const std::string& archivePath, const std::vector<ZipEntry>& entries)
{
  for (const ZipEntry& entry : entries) {
    if (entry.type == typeRegular) {
      ZipError error;
      SourcePtr source(
          entry.sourcePath.empty()
              ? zip_source_buffer_create(entry.content.data(), entry.content.size(), 0, error.get())
              : zip_source_file_create(entry.sourcePath.c_str(), 0, 0, error.get()));
      if (!source) {
        throw ioFailure("Could not create archive file: " + error.text() + ", filename: " + entry.name);
      }
      if (zip_file_add(archive.get(), entry.name.c_str(), source.get(), ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) <
          0) {
        throw ioFailure("Could not add archive file: " + std::string(zip_strerror(archive.get())) +
                        ", filename: " + entry.name);
      }
      source.release();
    } else if (entry.type == typeDirectory) {
      if (zip_dir_add(archive.get(), entry.name.c_str(), ZIP_FL_ENC_UTF_8) < 0) {
        throw ioFailure("Could not add archive file: " + std::string(zip_strerror(archive.get())) +
                        ", filename: " + entry.name);
      }
    }
  }
  // The bytes are read and written only now, so a full disk or a vanished file shows here.
  if (zip_close(archive.get()) != 0) {
    throw ioFailure("Could not write archive: " + std::string(zip_strerror(archive.get())) +
                    ", path: " + archivePath);
  }
  archive.release();
}

void extractFile(const std::string& archivePath, const std::string& destination)
{
  prepareDestination(destination);
  UniqueFd fd;
  uint64_t size = 0;
  std::string failure = "cannot read the file";
  ArchivePtr archive = openArchiveFile(archivePath, fd, size, failure);
  if (!archive) {
    throw refused("Could not open archive: " + failure);
  }
  extractEntries(archive.get(), FileBytes(fd.get(), size), destination);
}

void extractMemory(const void* data, size_t length, const std::string& destination)
{
  prepareDestination(destination);
  if (length == 0) {
    // libzip would take no bytes for a new, empty archive.
    throw refused("Could not open archive: Not a zip archive");
  }
  ZipError error;
  SourcePtr source(zip_source_buffer_create(data, length, 0, error.get()));
  if (!source) {
    throw ioFailure("Could not create source: " + error.text());
  }
  ArchivePtr archive(zip_open_from_source(source.get(), ZIP_RDONLY, error.get()));
  if (!archive) {
    throw refused("Could not open archive: " + error.text());
  }
  source.release();
  extractEntries(archive.get(), MemoryBytes(data, length), destination);
}

} // namespace

std::optional<Failure> createArchive(const std::string& archivePath, const std::vector<ZipEntry>& entries)
{
  int code = 0;
  ArchivePtr archive(zip_open(archivePath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code));
  if (!archive) {
    return ioFailure("Could not create archive - error code: " + std::to_string(code) +
                     ", path: " + archivePath);
  }
  try {
    writeEntries(archive, archivePath, entries);
  } catch (const Failure& failure) {
    archive.reset();
    std::remove(archivePath.c_str());
    return failure;
  }
  // libzip writes no file for an archive without entries; an empty archive is still one.
  if (!FileUtils::isDirectory(archivePath) && FileUtils::fileSize(archivePath) < 0) {
    static const std::string emptyArchive("PK\x05\x06" + std::string(18, '\0'));
    if (!FileUtils::writeFile(archivePath, emptyArchive)) {
      return ioFailure("Could not write archive: " + archivePath);
    }
  }
  return std::nullopt;
}

std::optional<Failure> extractArchive(const std::string& archivePath, const std::string& destination)
{
  try {
    extractFile(archivePath, destination);
  } catch (const Failure& failure) {
    return failure;
  }
  return std::nullopt;
}

std::optional<Failure> extractArchiveFromMemory(const void* data, size_t length,
                                                const std::string& destination)
{
  try {
    extractMemory(data, length, destination);
  } catch (const Failure& failure) {
    return failure;
  }
  return std::nullopt;
}

int64_t uncompressedSize(const std::string& archivePath)
{
  UniqueFd fd;
  uint64_t size = 0;
  std::string failure;
  ArchivePtr archive = openArchiveFile(archivePath, fd, size, failure);
  if (!archive) {
    return -1;
  }
  const zip_int64_t count = zip_get_num_entries(archive.get(), ZIP_FL_UNCHANGED);
  uint64_t total = 0;
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &stat) != 0 ||
        !(stat.valid & ZIP_STAT_SIZE)) {
      return -1;
    }
    total += stat.size;
    if (stat.size > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
        total > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return std::numeric_limits<int64_t>::max();
    }
  }
  return static_cast<int64_t>(total);
}

} // namespace ZipUtils
