#include "packages/PackageMoves.h"

#include "packages/PackagePaths.h"
#include "packages/StagingDirectory.h"
#include "util/Failure.h"
#include "util/FileSync.h"
#include "util/FileUtils.h"
#include "util/Logger.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace {std::string parentOf(const std::string& path)
{
  return PackagePaths::packageRootOf(path);
}

bool move(const std::string& from, const std::string& to)
{
  return std::rename(from.c_str(), to.c_str()) == 0;
}

// Moves every entry of `from` that `into` lacks into `into`; a directory found in both is
// merged the same way, anything else found in both stays as `into` has it. Every entry moved
// is recorded in `moved`. Repeating it after a crash moves what is left. False at the first
// failure.
bool mergeMissing(const std::string& from, const std::string& into, std::vector<std::string>& moved)
{
  std::vector<std::string> names;
  {
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(from.c_str()), closedir);
    if (!directory) {
      return false;
    }
    while (const dirent* entry = readdir(directory.get())) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") {
        names.push_back(name);
      }
    }
  }
  for (const std::string& name : names) {
    const std::string source = from + "/" + name;
    const std::string target = into + "/" + name;
    if (!FileUtils::pathExists(target)) {
      if (!move(source, target)) {
        return false;
      }
      moved.push_back(target);
    } else if (FileUtils::isRealDirectory(target) && FileUtils::isRealDirectory(source) && !mergeMissing(source, target, moved)) {
      return false;
    }
  }
  return FileSync::syncPath(into);
}

} // namespace

PackageMoves::PackageMoves(IntentRecord record) : record(std::move(record)) {}

PackageMoves::~PackageMoves() = default;

std::string PackageMoves::previousTree() const
{
  if (elsewhere) {
    return elsewhere->path() + "package";
  }
  const std::string aside = record.work + "old";
  return record.operation == IntentRecord::Operation::Install && FileUtils::isRealDirectory(aside) ? aside
                                                                                        : std::string();
}

void PackageMoves::complete()
{
  switch (record.operation) {
  case IntentRecord::Operation::Install:
    return completeInstall();
  case IntentRecord::Operation::DataImport:
    return completeDataImport();
  case IntentRecord::Operation::Removal:
    return completeRemoval();
  }
}

bool PackageMoves::rollBack()
{
  switch (record.operation) {
  case IntentRecord::Operation::Install:
    return rollBackInstall();
  case IntentRecord::Operation::DataImport:
    return rollBackDataImport();
  case IntentRecord::Operation::Removal:
    return !committed();
  }
  return false;
}

bool PackageMoves::committed() const
{
  switch (record.operation) {
  case IntentRecord::Operation::Install:
    return !FileUtils::pathExists(record.work + "package");
  case IntentRecord::Operation::DataImport:
    return !FileUtils::pathExists(record.work + "localdata");
  case IntentRecord::Operation::Removal:
    return FileUtils::pathExists(record.work + "package");
  }
  return false;
}

// The staging directory holds "package" (the new tree, complete and synced), perhaps
// "shipped" (the local data that came in the archive) and, once set aside, "old" (the
// earlier installation when it lives on the same storage). The rename of "package" to the
// final directory is the one moment at which the new version takes the old one's place.
void PackageMoves::completeInstall()
{
  const std::string tree = record.work + "package";
  const std::string data = tree + "/localdata";
  const std::string aside = record.work + "old";
  const std::string shipped = record.work + "shipped";
  const bool sameStorage = record.old.empty() || record.old == record.target;
  const Failure carryError(Failure::Kind::Io, "cannot carry the local data over from " + record.old);
  if (FileUtils::pathExists(tree)) {
    if (!record.old.empty() && sameStorage && !FileUtils::pathExists(aside) && FileUtils::pathExists(record.old)) {
      if (!move(record.old, aside)) {
        throw Failure(Failure::Kind::Io, "move dir error: " + record.old);
      }
    }
    // Renamed, not copied: no space is needed, so a full storage cannot cut the data short.
    // Only a move to the other storage copies, and leaves the earlier installation untouched
    // until the new one is in place.
    if (!FileUtils::pathExists(data) && !record.old.empty()) {
      const std::string oldData = (sameStorage ? aside : record.old) + "/localdata";
      if (sameStorage && FileUtils::pathExists(oldData)) {
        if (!move(oldData, data)) {
          throw carryError;
        }
        dataCarried = true;
      } else if (!sameStorage && FileUtils::pathExists(oldData)) {
        const std::string copy = record.work + "copy";
        if (!FileUtils::removeTree(copy) || !FileUtils::copyTree(oldData, copy) ||
            !FileSync::syncTree(copy) || !move(copy, data)) {
          throw carryError;
        }
      }
    }
    if (FileUtils::pathExists(shipped)) {
      if (!FileUtils::pathExists(data) ? !move(shipped, data) : !mergeMissing(shipped, data, merged)) {
        throw carryError;
      }
    }
    if (!FileUtils::makeDirectory(data, 0755, false) || !FileUtils::isRealDirectory(data)) {
      throw Failure(Failure::Kind::Io, "create localdata dir error");
    }
    // The moves into the tree and out of the staging directory reach the disk before the
    // tree becomes visible.
    if (!FileSync::syncPath(tree) || !FileSync::syncPath(record.work)) {
      throw Failure(Failure::Kind::Io, "cannot write the package to the storage");
    }
    if (!move(tree, record.target)) {
      throw Failure(Failure::Kind::Io, "move dir error: " + record.target + "/");
    }
  }
  if (!FileSync::syncPath(parentOf(record.target))) {
    throw Failure(Failure::Kind::Io, "cannot write the package to the storage");
  }
  if (!sameStorage && FileUtils::pathExists(record.old)) {
    // The copy on the other storage goes in one rename, so that it never lingers half
    // deleted where it would still be found first.
    try {
      auto gone = std::make_unique<StagingDirectory>(parentOf(record.old), "no staging directory");
      if (!move(record.old, gone->path() + "package")) {
        throw Failure(Failure::Kind::Io, std::strerror(errno));
      }
      FileSync::syncPath(parentOf(record.old));
      elsewhere = std::move(gone);
    } catch (const Failure& error) {
      Logger::log("Install package: cannot remove the earlier installation " + record.old + ": " +
                      error.what(),
                  LogLevel::Error);
    }
  }
}

bool PackageMoves::rollBackInstall()
{
  if (committed()) {
    return false;
  }
  const std::string tree = record.work + "package";
  const std::string aside = record.work + "old";
  for (auto entry = merged.rbegin(); entry != merged.rend(); ++entry) {
    if (!FileUtils::removeTree(*entry)) {
      return false;
    }
  }
  merged.clear();
  if (dataCarried) {
    if (!move(tree + "/localdata", aside + "/localdata")) {
      return false;
    }
    dataCarried = false;
  }
  if (FileUtils::isRealDirectory(aside) && !FileUtils::pathExists(record.old) && !move(aside, record.old)) {
    return false;
  }
  return FileSync::syncPath(record.work) && FileSync::syncPath(parentOf(record.target));
}

// The staging directory holds "localdata" (the imported tree, complete and synced) and,
// once set aside, "old" (the earlier local data).
void PackageMoves::completeDataImport()
{
  const std::string imported = record.work + "localdata";
  const std::string aside = record.work + "old";
  if (FileUtils::pathExists(imported)) {
    if (FileUtils::pathExists(record.target) && !FileUtils::pathExists(aside) && !move(record.target, aside)) {
      throw Failure(Failure::Kind::Io, "cannot move the local data aside");
    }
    if (!move(imported, record.target)) {
      throw Failure(Failure::Kind::Io, "cannot move the imported data into place");
    }
  }
  if (!FileSync::syncPath(parentOf(record.target)) || !FileSync::syncPath(record.work)) {
    throw Failure(Failure::Kind::Io, "cannot write the data to the storage");
  }
}

bool PackageMoves::rollBackDataImport()
{
  if (committed()) {
    return false;
  }
  const std::string aside = record.work + "old";
  if (FileUtils::isRealDirectory(aside) && !FileUtils::pathExists(record.target) && !move(aside, record.target)) {
    return false;
  }
  return FileSync::syncPath(parentOf(record.target));
}

void PackageMoves::completeRemoval()
{
  if (FileUtils::pathExists(record.target) && !move(record.target, record.work + "package")) {
    throw Failure(Failure::Kind::Io, std::strerror(errno));
  }
  if (!FileSync::syncPath(parentOf(record.target))) {
    throw Failure(Failure::Kind::Io, "cannot sync " + parentOf(record.target));
  }
}
