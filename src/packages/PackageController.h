#pragma once

#include "packages/Package.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

// Owns every registered package, keyed by name, and the ports handed to them. The main
// loop registers, unregisters, starts and stops packages; HTTP threads look packages up
// and stop or signal them at the same time. One mutex guards the two tables; it is never
// held while a package is run or stopped.
class PackageController {
public:
  using PackageMap = std::map<std::string, std::shared_ptr<Package>>;

  // Runs every registered package whose process is not running, in name order, unless a
  // crash loop makes its next start wait (see CrashLoopPolicy).
  void startAll();

  // Stops every package, in name order; they stay registered with their ports.
  void stopAll();

  // Registers the installed package `name` with two free ports (Package::noPort for a
  // port that cannot be found). An already registered package of that name is stopped
  // and replaced. Throws std::runtime_error("Package not found: " + name) when neither
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

  // The crash-loop timings of the packages registered from now on.
  void setCrashLoopTimings(const CrashLoopTimings& timings);

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

  void releasePort(int port);

private:
  int allocatePortLocked();
  void release(const std::string& name);

  mutable std::mutex mutex;
  std::set<int> usedPorts;
  PackageMap packages;
  // Serialises starts with new holds, so that no start slips in between a hold and the
  // stop that follows it. Held names, with the number of holds of each.
  std::mutex startMutex;
  std::map<std::string, unsigned> held;
  CrashLoopTimings crashLoopTimings;
};
