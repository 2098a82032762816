#pragma once

#include "packages/Package.h"
#include "packages/PackageRuntime.h"
#include "packages/Supervisor.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Owns every registered package, keyed by name, and the ports handed to them. A package is
// registered while it is both enabled and installed: the set of enabled names is kept apart
// from the table, so that a package enabled before it is installed, or removed and
// installed again, is registered as soon as it is installed, wherever it is installed. The
// main loop enables, starts and stops packages; HTTP threads install, remove, look up, stop
// and signal them at the same time. One mutex guards the tables; it is never held while a
// package is run or stopped. All packages' processes are watched by one Supervisor thread.
class PackageController {
public:
  using PackageMap = std::map<std::string, std::shared_ptr<Package>>;

  // Before anything can start, ends what an earlier Orvane left running (see
  // LeftoverProcesses).
  explicit PackageController(PackageRuntime runtime);

  const PackageRuntime& runtime() const { return *runtimeInfo; }

  // Makes `names` the enabled packages: registers, in the given order, each that is
  // installed and not registered yet, and unregisters (stopping it) every registered package
  // not named. Returns the names that are enabled but not installed; each is registered when
  // it is installed. A package that stays enabled keeps its registration and its process.
  std::vector<std::string> setEnabledPackages(const std::vector<std::string>& names);

  // Called once the package `name` has been installed (its files in place, while it is
  // held): an enabled package is registered, or, when it was registered at another
  // directory, registered again at the new one with the same ports.
  void packageInstalled(const std::string& name);

  // Called once the package `name` has been removed: it is stopped and unregistered, and
  // stays enabled, so that it is registered again when it is installed again.
  void packageRemoved(const std::string& name);

  // Runs every registered package whose process is not running, in name order, unless a
  // crash loop makes its next start wait (see CrashLoopPolicy).
  void startAll();

  // Stops every package, in name order; they stay registered with their ports.
  void stopAll();

  // Registers the installed package `name` with two free ports (Package::noPort for a
  // port that cannot be found). An already registered package of that name is stopped
  // and replaced. Throws a Failure of kind NotFound ("Package not found: " + name) when neither
  // storage holds it. Nothing is started.
  void addPackage(const std::string& name);

  // Stops the package, releases its ports and unregisters it. Unknown names are ignored.
  void removePackage(const std::string& name);

  // A copy of the table; the packages themselves are shared.
  PackageMap getPackages() const;

  // The registered package, or null.
  std::shared_ptr<Package> getPackage(const std::string& name) const;

  // Stops the package if it is registered and running (until the next startAll).
  void stopPackage(const std::string& name);

  // Keeps one package name from being run while it lives; see holdPackage.
  class Hold {
  public:
    Hold(Hold&& other) noexcept;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    Hold& operator=(Hold&&) = delete;
    ~Hold();

  private:
    friend class PackageController;
    Hold(PackageController* controller, std::string name);
    PackageController* controller;
    std::string name;
  };

  // Keeps the package `name` from being run while the returned hold lives, and stops it:
  // when this returns, its process has ended and whatever it wrote while stopping is on
  // disk. The first startAll after the last hold of the name is released runs it again.
  // For changes to a package's files that its process must neither see half done nor
  // write into.
  [[nodiscard]] Hold holdPackage(const std::string& name);

  // Sends `signal` to the package's process if it is registered and running.
  void sendSignal(const std::string& name, int signal);

  // The memory limit of the package `name` (empty: none), kept for it whether or not it is
  // registered now; a registered package holds it from now on.
  void setMemoryLimit(const std::string& name, std::optional<uint32_t> limitMib);

  // The crash-loop timings of the packages registered from now on.
  void setCrashLoopTimings(const CrashLoopTimings& timings);
  CrashLoopTimings crashLoopSettings() const;

  // Forgets the crashes of the registered package `name`, so that its next start is not
  // held back; after a new installation (`installed`) its restarts and last exit too.
  // Unknown names are ignored.
  void resetCrashLoop(const std::string& name, bool installed = false);

  // The directory of the installed package `name`, without a final "/": the FLASH root's
  // entry of that exact name, else the SD card root's. Empty (and `found` false) when
  // neither holds it.
  std::string findPackagePath(const std::string& name, bool* found = nullptr) const;

  // True when `directory` has a subdirectory named exactly `name`.
  static bool isPackageInDirectory(const std::string& directory, const std::string& name);

  // The lowest port of the package range that is neither handed out nor in use on the
  // local host, now handed out; Package::noPort when there is none.
  int allocatePort();

private:
  int allocatePortLocked();
  // Replaces the entry of `name` with a package at `path` on the given ports.
  void registerLocked(const std::string& name, const std::string& path, int port, int publicPort);
  void release(const std::string& name);

  const std::shared_ptr<const PackageRuntime> runtimeInfo;
  // One thread watches every package's process. Shared with the packages, so that it ends
  // only after the last of them has been stopped and dropped.
  const std::shared_ptr<Supervisor> supervisor;
  // Serialises the changes of registration that enabling, installing and removing make, so
  // that each sees the others' results whole.
  std::mutex registrationMutex;
  mutable std::mutex mutex;
  std::set<int> usedPorts;
  PackageMap packages;
  std::set<std::string> enabled;
  std::map<std::string, std::optional<uint32_t>> memoryLimits;
  // Serialises starts with new holds, so that no start slips in between a hold and the
  // stop that follows it. Held names, with the number of holds of each.
  std::mutex startMutex;
  std::map<std::string, unsigned> held;
  CrashLoopTimings crashLoopTimings;
};
