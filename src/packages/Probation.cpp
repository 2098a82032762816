#include "packages/Probation.h"

#include "packages/PackageController.h"
#include "packages/PackageLock.h"
#include "packages/PackageManifest.h"
#include "packages/PackagePaths.h"
#include "util/FileUtils.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "util/StringUtils.h"

#include <sys/stat.h>

#include <chrono>

namespace {

constexpr uint64_t bytesPerMb = 1024 * 1024;

int64_t nowMs()
{
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string versionOf(const std::string& directory)
{
  PackageManifest manifest;
  const bool unreadable = parseManifest(manifest, FileUtils::readFile(directory + "/manifest.json"), directory)
                             .has_value();
  return unreadable ? std::string("?") : manifest.packageVersion;
}

// A quarter of the free space of the storage holding `path`.
uint64_t spareBytes(const std::string& path)
{
  return static_cast<uint64_t>(FileUtils::freeSpaceMb(path)) * bytesPerMb / 4;
}

void logBoth(const std::shared_ptr<Package>& package, const std::string& name, const std::string& text,
             LogLevel level)
{
  Logger::log("Package " + name + ": " + text, level);
  if (package) {
    package->log().add(PackageLog::Stream::Orvane, text);
  }
}

// With the package's lock held.
void rollBack(PackageController& controller, const std::string& name, const std::shared_ptr<Package>& package,
              const ProbationRecord& record, const std::string& reason)
{
  const std::string directory = package->getPath();
  const std::string root = PackagePaths::packageRootOf(directory);
  const PackageController::Hold hold = controller.holdPackage(name);
  const std::string data = KeptVersion::restore(root, name, directory);
  if (data.empty()) {
    // Said once: the probation ends, the new version stays, and what was kept stays for the
    // owner to look at (a new install or a removal replaces it).
    package->setProbation(0, false);
    logBoth(package, name, "cannot put version " + record.toVersion + " back; version " + record.fromVersion + " stays",
            LogLevel::Error);
    return;
  }
  controller.packageInstalled(name);
  controller.resetCrashLoop(name, true);
  package->rolledBack(PackageRollback{record.fromVersion, record.toVersion, reason, data, nowMs()});
}

} // namespace

ProbationVerdict judgeProbation(const PackageStatus& status, std::chrono::milliseconds stableRun, std::string& reason)
{
  switch (status.state) {
  case PackageStatus::State::CannotStart:
    reason = "cannot start: " + status.reason;
    return ProbationVerdict::RollBack;
  case PackageStatus::State::CrashLoop:
    reason = status.reason;
    return ProbationVerdict::RollBack;
  case PackageStatus::State::Running:
    if (status.uptimeSeconds && *status.uptimeSeconds * 1000 >= stableRun.count()) {
      return ProbationVerdict::Passed;
    }
    break;
  default:
    break;
  }
  return ProbationVerdict::Continue;
}

std::string beginProbation(PackageController& controller, const std::string& name, const std::string& newVersion,
                           const std::string& packageDirectory, const std::string& previousTree, bool wasEnabled)
{
  const std::string root = PackagePaths::packageRootOf(packageDirectory);
  const std::shared_ptr<Package> package = controller.getPackage(name);
  if (package) {
    package->clearRollback();
  }
  const std::optional<ProbationRecord> earlier = KeptVersion::load(root, name);
  if (previousTree.empty() || (!wasEnabled && !earlier)) {
    KeptVersion::drop(root, name);
    if (package) {
      package->setProbation(0, true);
    }
    return {};
  }
  ProbationRecord record;
  record.name = name;
  // Versions come from manifests, written by anyone: made valid for the JSON answers.
  record.fromVersion = StringUtils::repairUtf8(newVersion);
  record.startedMs = nowMs();
  record.untilMs = record.startedMs + controller.crashLoopSettings().stableRun.count();
  std::string said;
  bool kept = false;
  if (earlier) {
    // The version kept before is the last one known to run: it stays, data and all.
    record.toVersion = earlier->toVersion;
    record.dataKept = earlier->dataKept;
    kept = KeptVersion::save(root, record);
    said = "version " + record.toVersion + " stays kept for a rollback";
  } else {
    record.toVersion = StringUtils::repairUtf8(versionOf(previousTree));
    const uint64_t filesBytes = KeptVersion::treeBytes(previousTree);
    const uint64_t spare = spareBytes(root);
    if (filesBytes > spare) {
      said = "no room to keep version " + record.toVersion + " for a rollback";
    } else {
      const std::string data = packageDirectory + "/localdata";
      const uint64_t dataBytes = KeptVersion::treeBytes(data);
      const bool copyData = dataBytes <= Limits::maxKeptDataBytes && filesBytes + dataBytes <= spare;
      const std::optional<Failure> failure = KeptVersion::keep(root, record, previousTree, data, copyData);
      kept = !failure;
      said = kept ? "version " + record.toVersion + " kept for a rollback" +
                        (record.dataKept ? ", with its data" : ", without a copy of its data")
                  : "cannot keep version " + record.toVersion + " for a rollback: " + failure->what();
    }
  }
  if (package) {
    package->setProbation(record.untilMs, kept);
  }
  return said;
}

void checkProbations(PackageController& controller)
{
  const CrashLoopTimings timings = controller.crashLoopSettings();
  for (const auto& [name, package] : controller.getPackages()) {
    const std::string root = PackagePaths::packageRootOf(package->getPath());
    if (!package->probationKnown()) {
      // Taken up once after a restart: the record on disk outlives Orvane.
      const std::optional<ProbationRecord> record = KeptVersion::load(root, name);
      package->setProbation(record ? record->untilMs : 0, true);
      if (record) {
        logBoth(package, name,
                "version " + record->fromVersion + " on probation, version " + record->toVersion + " kept",
                LogLevel::Info);
      }
      continue;
    }
    std::string reason;
    if (!package->onProbation() ||
        judgeProbation(package->status(), timings.stableRun, reason) == ProbationVerdict::Continue) {
      continue;
    }
    // Decided again under the lock: an install that held it may have started another
    // probation meanwhile.
    const PackageLock lock(name);
    const PackageStatus status = package->status();
    const std::optional<ProbationRecord> record = KeptVersion::load(root, name);
    if (controller.getPackage(name) != package || !status.probationUntilMs) {
      continue;
    }
    switch (judgeProbation(status, timings.stableRun, reason)) {
    case ProbationVerdict::Continue:
      break;
    case ProbationVerdict::Passed:
      KeptVersion::drop(root, name);
      package->setProbation(0, true);
      logBoth(package, name, "passed its probation; the previous version is no longer kept", LogLevel::Info);
      break;
    case ProbationVerdict::RollBack:
      if (status.rollbackAvailable && record && record->untilMs == *status.probationUntilMs) {
        rollBack(controller, name, package, *record, reason);
      } else {
        package->setProbation(0, false);
        logBoth(package, name, "failed its probation (" + reason + "); no earlier version was kept to come back to",
                LogLevel::Warning);
      }
      break;
    }
  }
  // A restore cut short is finished; what is kept for a package that is no longer enabled,
  // or no longer installed, is never needed.
  for (const std::string& root : {controller.runtime().flashPackageRoot, controller.runtime().sdPackageRoot}) {
    for (const std::string& name : FileUtils::listDirectories(PackagePaths::keptDirectory(root))) {
      if (!PackagePaths::isPackageEntry(name)) {
        continue;
      }
      const PackageLock lock(name);
      const std::string finished = KeptVersion::recover(root, name, root + name);
      if (!finished.empty()) {
        Logger::log("Package " + name + ": a rollback cut short by a restart was finished (data " + finished + ")",
                    LogLevel::Warning);
      }
      if (!controller.getPackage(name)) {
        KeptVersion::drop(root, name);
      }
    }
  }
}

void dropKeptData(PackageController& controller, const std::string& name)
{
  for (const std::string& root : {controller.runtime().flashPackageRoot, controller.runtime().sdPackageRoot}) {
    KeptVersion::dropData(root, name);
  }
}

void dropKeptVersion(PackageController& controller, const std::string& name)
{
  for (const std::string& root : {controller.runtime().flashPackageRoot, controller.runtime().sdPackageRoot}) {
    KeptVersion::drop(root, name);
  }
  if (const std::shared_ptr<Package> package = controller.getPackage(name)) {
    package->setProbation(0, true);
  }
}
