#pragma once

#include "util/Failure.h"

#include <cstdint>
#include <optional>
#include <string>

// A new version of a package on probation, and the version it replaced.
struct ProbationRecord {
  std::string name;
  // The version on probation, and the one kept to come back to.
  std::string fromVersion;
  std::string toVersion;
  // When the probation was started and when it is expected to pass (ms since the epoch).
  int64_t startedMs = 0;
  int64_t untilMs = 0;
  // A copy of the local data as it was before the new version ran is kept too.
  bool dataKept = false;
};

// The previous version of a package kept while its successor is on probation: in the kept
// directory of the package root (a hidden entry, never listed as a package), the previous
// version's files without their local data ("package/"), a copy of the local data when it
// fits ("localdata/"), and the record ("probation.json"), written synced, so that a
// probation outlives a crash of Orvane. Only one version is kept per package.
namespace KeptVersion {

// Keeps the tree `previousTree` (the previous version's directory, its local data already
// carried over) for the package `record.name` of `packageRoot`, by rename, and a copy of
// `localData` when `copyData`. Returns nothing when the version is kept (`record.dataKept`
// says whether the copy was made), and why not, with nothing kept, otherwise.
std::optional<Failure> keep(const std::string& packageRoot, ProbationRecord& record,
                            const std::string& previousTree, const std::string& localData, bool copyData);

// Writes `record` anew (synced).
bool save(const std::string& packageRoot, const ProbationRecord& record);

// The record of the package `name`, when a version of it is kept.
std::optional<ProbationRecord> load(const std::string& packageRoot, const std::string& name);

// Deletes what is kept for the package `name`.
void drop(const std::string& packageRoot, const std::string& name);

// Deletes the kept copy of the local data only.
void dropData(const std::string& packageRoot, const std::string& name);

// Puts the kept version back in the place of `packageDirectory` (the unproven version, which
// is deleted), with the kept copy of the local data when there is one ("restored"),
// otherwise with the unproven version's local data ("kept_current"), and forgets the
// record. Empty, after logging, when it cannot.
std::string restore(const std::string& packageRoot, const std::string& name, const std::string& packageDirectory);

// Brings what is kept for the package `name` into a consistent state after a crash: a
// restore that was cut short is finished ("restored" or "kept_current" then), and what
// was kept without its record is deleted. Empty when there was nothing to finish.
std::string recover(const std::string& packageRoot, const std::string& name, const std::string& packageDirectory);

// Bytes of the regular files below `path` (links not followed).
uint64_t treeBytes(const std::string& path);

} // namespace KeptVersion
