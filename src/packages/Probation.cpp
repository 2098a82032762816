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
#include <set>

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
  return parseManifest(manifest, FileUtils::readFile(directory + "/manifest.json"), directory) ? manifest.packageVersion
                                                                                              : std::string("?");
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

void rollBack(PackageController& controller, const std::string& name, const std::shared_ptr<Package>& package,
              const std::string& reason)
{
  const PackageLock lock(name);
  const std::string directory = controller.findPackagePath(name);
  if (directory.empty()) {
    return;
  }
  const std::string root = PackagePaths::packageRootOf(directory);
  const std::optional<ProbationRecord> record = KeptVersion::load(root, name);
  if (!record) {
    package->setProbation(0, true);
    return;
  }
  const PackageController::Hold hold = controller.holdPackage(name);
  const std::string data = KeptVersion::restore(root, name, directory);
  if (data.empty()) {
    // Said once; the new version stays, and so does what was kept, for the owner to look at.
    logBoth(package, name, "cannot put version " + record->toVersion + " back; version " + record->fromVersion +
                               " stays",
            LogLevel::Error);
    package->setProbation(0, false);
    return;
  }
  controller.packageInstalled(name);
  controller.resetCrashLoop(name, true);
  package->rolledBack(PackageRollback{record->fromVersion, record->toVersion, reason, data, nowMs()});
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
    if (filesBytes > spareBytes(root)) {
      said = "no room to keep version " + record.toVersion + " for a rollback";
    } else {
      const std::string data = packageDirectory + "/localdata";
      const uint64_t dataBytes = KeptVersion::treeBytes(data);
      const bool copyData = dataBytes <= Limits::maxKeptDataBytes && dataBytes <= spareBytes(root) - filesBytes;
      std::string why;
      kept = KeptVersion::keep(root, record, previousTree, data, copyData, why);
      said = kept ? "version " + record.toVersion + " kept for a rollback" +
                        (record.dataKept ? ", with its data" : ", without a copy of its data")
                  : "cannot keep version " + record.toVersion + " for a rollback: " + why;
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
  std::set<std::string> registered;
  for (const auto& [name, package] : controller.getPackages()) {
    registered.insert(name);
    PackageStatus status = package->status();
    const std::string directory = package->getPath();
    const std::string root = PackagePaths::packageRootOf(directory);
    if (!status.probationUntilMs) {
      // Taken up again after a restart: the record on disk outlives Orvane.
      const std::optional<ProbationRecord> record = KeptVersion::load(root, name);
      if (!record) {
        continue;
      }
      package->setProbation(record->untilMs, true);
      logBoth(package, name, "version " + record->fromVersion + " on probation, version " + record->toVersion + " kept",
              LogLevel::Info);
      continue;
    }
    std::string reason;
    switch (judgeProbation(status, timings.stableRun, reason)) {
    case ProbationVerdict::Continue:
      break;
    case ProbationVerdict::Passed:
      KeptVersion::drop(root, name);
      package->setProbation(0, true);
      logBoth(package, name, "passed its probation; the previous version is no longer kept", LogLevel::Info);
      break;
    case ProbationVerdict::RollBack:
      if (status.rollbackAvailable) {
        rollBack(controller, name, package, reason);
      } else {
        package->setProbation(0, false);
        logBoth(package, name, "failed its probation (" + reason + "); no earlier version was kept to come back to",
                LogLevel::Warning);
      }
      break;
    }
  }
  // What is kept for a package that is no longer enabled is never needed.
  for (const std::string& root : {controller.runtime().flashPackageRoot, controller.runtime().sdPackageRoot}) {
    for (const std::string& name : FileUtils::listDirectories(PackagePaths::keptDirectory(root))) {
      if (PackagePaths::isPackageEntry(name) && registered.count(name) == 0) {
        const PackageLock lock(name);
        if (!controller.getPackage(name)) {
          KeptVersion::drop(root, name);
        }
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
