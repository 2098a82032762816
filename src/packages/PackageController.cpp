#include "packages/PackageController.h"

#include "packages/LeftoverProcesses.h"
#include "packages/PackagePaths.h"
#include "packages/Probation.h"
#include "util/Failure.h"
#include "util/FileUtils.h"
#include "util/Logger.h"
#include "util/SystemUtils.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// ".", ".." and the staging directory are listed too, but name no package.
bool listsName(const std::vector<std::string>& entries, const std::string& name)
{
  if (!PackagePaths::isPackageEntry(name)) {
    return false;
  }
  return std::find(entries.begin(), entries.end(), name) != entries.end();
}

} // namespace

PackageController::PackageController(PackageRuntime runtime)
    : runtimeInfo(std::make_shared<const PackageRuntime>(std::move(runtime))),
      supervisor(std::make_shared<Supervisor>(Package::maxLineLength, Supervisor::defaultGrace,
                                              static_cast<size_t>(runtimeInfo->outputBytesPerSecond)))
{
  LeftoverProcesses::endAll(runtimeInfo->runningRecordDirectory, supervisor->grace());
}

std::vector<std::string> PackageController::setEnabledPackages(const std::vector<std::string>& names)
{
  std::lock_guard<std::mutex> registration(registrationMutex);
  const std::set<std::string> named(names.begin(), names.end());
  {
    std::lock_guard<std::mutex> lock(mutex);
    enabled = named;
  }
  std::vector<std::string> notInstalled;
  std::set<std::string> seen;
  for (const std::string& name : names) {
    if (!seen.insert(name).second || getPackage(name)) {
      continue;
    }
    try {
      addPackage(name);
    } catch (const Failure&) {
      notInstalled.push_back(name);
    }
  }
  for (const auto& entry : getPackages()) {
    if (named.count(entry.first) == 0) {
      removePackage(entry.first);
    }
  }
  return notInstalled;
}

void PackageController::packageInstalled(const std::string& name)
{
  std::lock_guard<std::mutex> registration(registrationMutex);
  const std::string path = findPackagePath(name);
  std::shared_ptr<Package> previous = getPackage(name);
  if (path.empty() || (previous && previous->getPath() == path)) {
    return;
  }
  if (previous) {
    // The directory it was registered with is gone: what runs now must be the new one.
    previous->stop();
    std::lock_guard<std::mutex> lock(mutex);
    registerLocked(name, path, previous->getPort(false), previous->getPort(true));
    return;
  }
  std::lock_guard<std::mutex> lock(mutex);
  if (enabled.count(name) != 0) {
    const int port = allocatePortLocked();
    const int publicPort = allocatePortLocked();
    registerLocked(name, path, port, publicPort);
  }
}

void PackageController::packageRemoved(const std::string& name)
{
  std::lock_guard<std::mutex> registration(registrationMutex);
  removePackage(name);
  dropKeptVersion(*this, name);
}

void PackageController::registerLocked(const std::string& name, const std::string& path, int port,
                                       int publicPort)
{
  auto package = std::make_shared<Package>(name, port, publicPort, path, runtimeInfo, supervisor);
  package->setCrashLoopTimings(crashLoopTimings);
  const auto limit = memoryLimits.find(name);
  if (limit != memoryLimits.end()) {
    package->setMemoryLimit(limit->second);
  }
  packages[name] = std::move(package);
}

void PackageController::startAll()
{
  for (const auto& [name, package] : getPackages()) {
    package->reportOmittedOutput();
    std::lock_guard<std::mutex> lock(startMutex);
    // A registration replaced since the snapshot (a package moved to the other storage)
    // must not run from its old directory.
    if (held.count(name) == 0 && getPackage(name) == package && !package->isRunning() &&
        package->startDue()) {
      Logger::log("Start package: " + name, LogLevel::Info);
      package->run();
    }
  }
}

void PackageController::stopAll()
{
  const PackageMap snapshot = getPackages();
  if (snapshot.empty()) {
    return;
  }
  Logger::log("Stop all packages", LogLevel::Info);
  for (const auto& entry : snapshot) {
    entry.second->stop();
  }
}

void PackageController::addPackage(const std::string& name)
{
  const std::string path = findPackagePath(name);
  if (path.empty()) {
    throw Failure(Failure::Kind::NotFound, "Package not found: " + name);
  }
  // A package registered under this name already must not keep running unowned, nor keep
  // its ports.
  removePackage(name);

  std::lock_guard<std::mutex> lock(mutex);
  const int port = allocatePortLocked();
  const int publicPort = allocatePortLocked();
  registerLocked(name, path, port, publicPort);
}

void PackageController::removePackage(const std::string& name)
{
  std::shared_ptr<Package> package = getPackage(name);
  if (!package) {
    return;
  }
  package->stop();

  std::lock_guard<std::mutex> lock(mutex);
  usedPorts.erase(package->getPort(false));
  usedPorts.erase(package->getPort(true));
  auto entry = packages.find(name);
  if (entry != packages.end() && entry->second == package) {
    packages.erase(entry);
  }
}

PackageController::PackageMap PackageController::getPackages() const
{
  std::lock_guard<std::mutex> lock(mutex);
  return packages;
}

std::shared_ptr<Package> PackageController::getPackage(const std::string& name) const
{
  std::lock_guard<std::mutex> lock(mutex);
  auto entry = packages.find(name);
  return entry == packages.end() ? nullptr : entry->second;
}

void PackageController::stopPackage(const std::string& name)
{
  std::shared_ptr<Package> package = getPackage(name);
  if (package && package->isRunning()) {
    Logger::log("Stop package " + name, LogLevel::Info);
    package->stop();
  }
}

PackageController::Hold PackageController::holdPackage(const std::string& name)
{
  {
    std::lock_guard<std::mutex> lock(startMutex);
    ++held[name];
  }
  Hold hold(this, name);
  // Stopped even when it does not look running: a run that has just begun has no process
  // id yet, and its process must not appear once the hold is taken.
  if (std::shared_ptr<Package> package = getPackage(name)) {
    if (package->isRunning()) {
      Logger::log("Stop package " + name, LogLevel::Info);
    }
    package->stop();
  }
  return hold;
}

void PackageController::release(const std::string& name)
{
  std::lock_guard<std::mutex> lock(startMutex);
  auto entry = held.find(name);
  if (entry != held.end() && --entry->second == 0) {
    held.erase(entry);
  }
}

PackageController::Hold::Hold(PackageController* controller, std::string name)
    : controller(controller), name(std::move(name))
{
}

PackageController::Hold::Hold(Hold&& other) noexcept
    : controller(other.controller), name(std::move(other.name))
{
  other.controller = nullptr;
}

PackageController::Hold::~Hold()
{
  if (controller != nullptr) {
    controller->release(name);
  }
}

void PackageController::sendSignal(const std::string& name, int signal)
{
  std::shared_ptr<Package> package = getPackage(name);
  if (package && package->isRunning()) {
    Logger::log("Send signal " + std::to_string(signal) + " to package " + name, LogLevel::Info);
    package->sendSignal(signal);
  }
}

void PackageController::setMemoryLimit(const std::string& name, std::optional<uint32_t> limitMib)
{
  std::shared_ptr<Package> package;
  {
    std::lock_guard<std::mutex> lock(mutex);
    memoryLimits[name] = limitMib;
    const auto entry = packages.find(name);
    if (entry != packages.end()) {
      package = entry->second;
    }
  }
  if (package && package->memoryLimit() != limitMib) {
    Logger::log("Package " + name + ": memory limit " +
                    (limitMib ? std::to_string(*limitMib) + " MiB" : std::string("none")),
                LogLevel::Info);
    package->setMemoryLimit(limitMib);
  }
}

void PackageController::setCrashLoopTimings(const CrashLoopTimings& timings)
{
  std::lock_guard<std::mutex> lock(mutex);
  crashLoopTimings = timings;
}

CrashLoopTimings PackageController::crashLoopSettings() const
{
  std::lock_guard<std::mutex> lock(mutex);
  return crashLoopTimings;
}

void PackageController::resetCrashLoop(const std::string& name, bool installed)
{
  if (std::shared_ptr<Package> package = getPackage(name)) {
    package->resetCrashLoop(installed);
  }
}

std::string PackageController::findPackagePath(const std::string& name, bool* found) const
{
  const std::string& flashRoot = runtimeInfo->flashPackageRoot;
  const std::string& sdRoot = runtimeInfo->sdPackageRoot;
  std::string path;
  if (listsName(FileUtils::listDirectories(flashRoot), name)) {
    path = flashRoot + name;
  } else if (listsName(FileUtils::listDirectories(sdRoot), name)) {
    path = sdRoot + name;
  }
  if (found != nullptr) {
    *found = !path.empty();
  }
  return path;
}

bool PackageController::isPackageInDirectory(const std::string& directory, const std::string& name)
{
  return listsName(FileUtils::listDirectories(directory), name);
}

int PackageController::allocatePort()
{
  std::lock_guard<std::mutex> lock(mutex);
  return allocatePortLocked();
}

int PackageController::allocatePortLocked()
{
  for (int port = runtimeInfo->firstPort; port <= runtimeInfo->lastPort; ++port) {
    if (usedPorts.count(port) == 0 && SystemUtils::isPortFree(static_cast<uint16_t>(port))) {
      usedPorts.insert(port);
      return port;
    }
  }
  return Package::noPort;
}
