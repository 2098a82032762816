#include "util/FileSync.h"

#include "util/UniqueFd.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace FileSync {
namespace {

std::atomic<Mode> currentMode{Mode::FileSystem};

std::string withoutTrailingSlash(std::string path)
{
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

// O_RDONLY is enough for fsync on Linux, for directories and files alike.
UniqueFd openForSync(const std::string& path)
{
  return UniqueFd(open(withoutTrailingSlash(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
}

int syncEntry(const char* path, const struct stat*, int type, FTW*)
{
  if (type != FTW_F && type != FTW_D && type != FTW_DP) {
    return 0; // links and what cannot be read hold no data of ours
  }
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  return fd && fsync(fd.get()) == 0 ? 0 : -1;
}

} // namespace

void setMode(Mode mode)
{
  currentMode = mode;
}

Mode mode()
{
  return currentMode;
}

Mode modeNamed(const std::string& name)
{
  if (name == "perfile") {
    return Mode::PerFile;
  }
  if (name == "off") {
    return Mode::Off;
  }
  return Mode::FileSystem;
}

bool syncDescriptor(int fd)
{
  return currentMode == Mode::Off || fsync(fd) == 0;
}

bool syncPath(const std::string& path)
{
  if (currentMode == Mode::Off) {
    return true;
  }
  UniqueFd fd = openForSync(path);
  return fd && fsync(fd.get()) == 0;
}

bool syncTree(const std::string& path)
{
  switch (currentMode) {
  case Mode::Off:
    return true;
  case Mode::FileSystem: {
    // Data and metadata of every file of the file system, the tree's among them.
    UniqueFd fd = openForSync(path);
    return fd && syncfs(fd.get()) == 0;
  }
  case Mode::PerFile: {
    // Depth first: a directory is flushed after its content, so that no durable entry
    // names a file whose data is still pending.
    constexpr int openDescriptors = 32;
    return nftw(withoutTrailingSlash(path).c_str(), syncEntry, openDescriptors, FTW_DEPTH | FTW_PHYS) == 0;
  }
  }
  return false;
}

} // namespace FileSync
