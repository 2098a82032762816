#include "packages/Package.h"

#include "packages/LeftoverProcesses.h"
#include "packages/PackageCgroups.h"
#include "packages/PackageManifest.h"
#include "packages/PackagePaths.h"
#include "packages/ProcessLauncher.h"
#include "packages/ProcessTree.h"
#include "util/Logger.h"
#include "util/StringUtils.h"
#include "util/UniqueFd.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

namespace {

std::string portText(int port)
{
  return std::to_string(port == Package::noPort ? 0 : port);
}

std::string errorText(int error)
{
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

// "0.4 s", "12.0 s".
std::string secondsText(std::chrono::milliseconds duration)
{
  const long long tenths = duration.count() / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

long long wholeSeconds(std::chrono::milliseconds duration)
{
  return (duration.count() + 999) / 1000;
}

bool fileExists(const std::string& path)
{
  return access(path.c_str(), F_OK) == 0;
}

// Logs a step at which the child gave up before the program ran; returns the reason for
// the package's status.
std::string logLaunchFailure(const LaunchResult& launched, const std::string& name,
                             const std::string& executable)
{
  switch (launched.failure) {
  case LaunchFailure::None:
    break;
  case LaunchFailure::StandardOutput:
    Logger::log("Could not get std output for package: " + name, LogLevel::Error);
    return "cannot redirect its standard output: " + errorText(launched.error);
  case LaunchFailure::StandardError:
    Logger::log("Could not get err output for package: " + name, LogLevel::Error);
    return "cannot redirect its standard error: " + errorText(launched.error);
  case LaunchFailure::WorkingDirectory:
    Logger::log("Could not change working directory for package: " + name, LogLevel::Error);
    return "cannot change into its directory: " + errorText(launched.error);
  case LaunchFailure::Isolation:
    Logger::log("Could not start package: " + name + ": cannot set its process apart: " +
                    errorText(launched.error),
                LogLevel::Error);
    return "cannot set its process apart: " + errorText(launched.error);
  case LaunchFailure::Execute:
    Logger::log("Failed to execute child process for package: " + name +
                    " error: " + errorText(launched.error),
                LogLevel::Debug);
    return "cannot execute " + executable + ": " + errorText(launched.error);
  }
  return "";
}

} // namespace

Package::Package(std::string name, int port, int publicPort, std::string path,
                 std::shared_ptr<const PackageRuntime> runtime, std::shared_ptr<Supervisor> supervisor)
    : name(std::move(name)), port(port), publicPort(publicPort), path(std::move(path)),
      runtime(std::move(runtime)), supervisor(std::move(supervisor)),
      logCopies(this->runtime->logCopyLinesPerSecond, this->runtime->logCopyBurstLines)
{
}

Package::~Package()
{
  stopLocked();
}

void Package::run()
{
  std::lock_guard<std::mutex> lock(runMutex);
  stopLocked();

  PackageManifest manifest;
  const std::string manifestPath = path + "/manifest.json";
  if (const std::optional<Failure> failure = readManifest(manifest, manifestPath)) {
    Logger::log(failure->what(), LogLevel::Error);
    cannotStart(fileExists(manifestPath) ? "invalid manifest.json" : "no manifest.json");
    return;
  }
  if (!checkRequiredVersion(manifest, runtime->appVersion)) {
    Logger::log("Run package: package requires Orvane version " + StringUtils::escapeControls(manifest.requiredVersion) +
                    " or newer.",
                LogLevel::Error);
    cannotStart("requires Orvane version " + manifest.requiredVersion + " or newer");
    return;
  }
  // Node.js would start and end at once; saying why is more use to the package's author.
  if (!fileExists(path + "/main.js")) {
    Logger::log("Run package: no main.js in " + path, LogLevel::Error);
    cannotStart("no main.js");
    return;
  }

  launch();
}

void Package::stop()
{
  std::lock_guard<std::mutex> lock(runMutex);
  stopLocked();
}

void Package::stopLocked()
{
  if (watched) {
    supervisor->stop(*watched);
    watched.reset();
  }
}

void Package::sendSignal(int signal)
{
  std::shared_ptr<ChildProcess> process;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    process = child;
  }
  if (process) {
    process->signal(signal);
  }
}

void Package::setMemoryLimit(std::optional<uint32_t> limitMib)
{
  if (memoryLimitMib.exchange(limitMib.value_or(0)) != limitMib.value_or(0)) {
    supervisor->refresh();
  }
}

std::optional<uint32_t> Package::memoryLimit() const
{
  const uint32_t limit = memoryLimitMib;
  return limit == 0 ? std::nullopt : std::optional<uint32_t>(limit);
}

uint64_t Package::memoryLimitKib() const
{
  return uint64_t{memoryLimitMib} * 1024;
}

void Package::memoryExceeded(uint64_t limitKib, uint64_t residentKib)
{
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    memoryLimitExceeded = true;
  }
  report("memory limit " + std::to_string(limitKib / 1024) + " MiB exceeded (resident " +
             std::to_string((residentKib + 1023) / 1024) + " MiB)",
         LogLevel::Warning);
}

void Package::setProbation(int64_t untilMs, bool available)
{
  std::lock_guard<std::mutex> lock(stateMutex);
  probationUntilMs = untilMs;
  rollbackAvailable = available;
  probationSet = true;
}

bool Package::onProbation()
{
  std::lock_guard<std::mutex> lock(stateMutex);
  return probationUntilMs != 0;
}

bool Package::probationKnown()
{
  std::lock_guard<std::mutex> lock(stateMutex);
  return probationSet;
}

void Package::rolledBack(const PackageRollback& rollback)
{
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    probationUntilMs = 0;
    rollbackAvailable = true;
    lastRollback = rollback;
  }
  report("rolled back to " + rollback.toVersion + ": version " + rollback.fromVersion + " failed its probation (" +
             rollback.reason + "); " +
             (rollback.data == "restored" ? "its data as before the install restored"
                                          : "the current data kept, no copy of the earlier data was kept"),
         LogLevel::Warning);
}

void Package::clearRollback()
{
  std::lock_guard<std::mutex> lock(stateMutex);
  lastRollback.reset();
}

void Package::setCrashLoopTimings(const CrashLoopTimings& timings)
{
  std::lock_guard<std::mutex> lock(stateMutex);
  crashLoop = CrashLoopPolicy(timings);
}

bool Package::startDue()
{
  std::lock_guard<std::mutex> lock(stateMutex);
  return !crashLoop.inLoop() || std::chrono::steady_clock::now() >= endedAt + crashLoop.delay();
}

void Package::resetCrashLoop(bool installed)
{
  std::unique_lock<std::mutex> lock(stateMutex);
  const bool wasInLoop = crashLoop.inLoop();
  crashLoop.reset();
  if (installed) {
    starts = running ? 1 : 0;
    lastExit.reset();
  }
  lock.unlock();
  if (wasInLoop) {
    report("crash loop cleared", LogLevel::Info);
  }
}

PackageStatus Package::status()
{
  std::lock_guard<std::mutex> lock(stateMutex);
  PackageStatus status;
  status.restarts = starts > 0 ? starts - 1 : 0;
  status.lastExit = lastExit;
  status.lastExitCause = lastExitCause;
  if (probationUntilMs != 0) {
    status.probationUntilMs = probationUntilMs;
    status.rollbackAvailable = rollbackAvailable;
  }
  status.rollback = lastRollback;
  status.memoryLimitMib = memoryLimit();
  const bool inCgroup = running ? !cgroup.empty() : !runtime->cgroupBase.empty();
  status.containment = inCgroup ? "cgroup" : "process_group";
  const auto now = std::chrono::steady_clock::now();
  if (running && child) {
    status.state = PackageStatus::State::Running;
    status.pid = child->pid();
    status.startedAtMs = startedAtMs;
    status.uptimeSeconds = std::chrono::duration_cast<std::chrono::seconds>(now - startedAt).count();
    status.usage = child->usage();
  } else if (!cannotStartReason.empty()) {
    status.state = PackageStatus::State::CannotStart;
    status.reason = cannotStartReason;
  } else if (crashLoop.inLoop()) {
    const CrashLoopTimings& timings = crashLoop.settings();
    status.state = PackageStatus::State::CrashLoop;
    status.reason = std::to_string(crashLoop.crashCount()) + " runs in a row ended within " +
                    secondsText(timings.shortRun);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(endedAt + crashLoop.delay() - now);
    status.nextStartInSeconds = std::max<long long>(0, wholeSeconds(left));
  } else if (starts > 0) {
    status.state = PackageStatus::State::Restarting;
  }
  return status;
}

void Package::report(const std::string& text, LogLevel level)
{
  Logger::log("Package " + name + ": " + text, level);
  lines.add(PackageLog::Stream::Orvane, text);
}

void Package::cannotStart(const std::string& reason)
{
  std::unique_lock<std::mutex> lock(stateMutex);
  const bool changed = reason != cannotStartReason;
  cannotStartReason = reason;
  lock.unlock();
  // Tried again at every tick: the ring gets the reason once, not a copy per tick.
  if (changed) {
    lines.add(PackageLog::Stream::Orvane, "cannot start: " + reason);
  }
}

void Package::started(const std::shared_ptr<ChildProcess>& process)
{
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    child = process;
    startedAt = std::chrono::steady_clock::now();
    startedAtMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    ++starts;
    cannotStartReason.clear();
    running = true;
  }
  lines.add(PackageLog::Stream::Orvane, "started, pid " + std::to_string(process->pid()) + ", ports " +
                                            portText(port) + " and " + portText(publicPort));
}

void Package::ended(const ExitStatus& exit, bool requested, bool killed)
{
  reportOmitted(std::chrono::steady_clock::now(), true);
  if (killed) {
    lines.add(PackageLog::Stream::Orvane,
              "killed: still running " + secondsText(supervisor->grace()) + " after SIGTERM");
  }
  LeftoverProcesses::erase(runtime->runningRecordDirectory, name);
  std::unique_lock<std::mutex> lock(stateMutex);
  if (!cgroup.empty()) {
    // The kernel's own enforcement leaves its mark in the cgroup.
    if (PackageCgroups::memoryLimitHit(cgroup)) {
      memoryLimitExceeded = true;
    }
    PackageCgroups::remove(cgroup);
    cgroup.clear();
  }
  endedAt = std::chrono::steady_clock::now();
  const auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(endedAt - startedAt);
  lastExit = exit;
  lastExitCause = memoryLimitExceeded ? "memory_limit" : "";
  memoryLimitExceeded = false;
  child.reset();
  running = false;
  const CrashLoopPolicy::Step step = requested ? CrashLoopPolicy::Step::None : crashLoop.runEnded(ran);
  const CrashLoopTimings timings = crashLoop.settings();
  const unsigned crashes = crashLoop.crashCount();
  const auto delay = crashLoop.delay();
  lock.unlock();

  report("exited " + exit.describe() + " after " + secondsText(ran) + (requested ? " (stopped)" : ""),
         LogLevel::Info);
  // Said once per exit, so once per step of the back-off, however many ticks it waits.
  const std::string next = "next start in " + std::to_string(wholeSeconds(delay)) + " s";
  switch (step) {
  case CrashLoopPolicy::Step::None:
    break;
  case CrashLoopPolicy::Step::Entered:
    report("crash loop: " + std::to_string(crashes) + " runs in a row ended within " +
               secondsText(timings.shortRun) + ", " + next,
           LogLevel::Warning);
    break;
  case CrashLoopPolicy::Step::Continued:
    report("still in a crash loop, " + next, LogLevel::Warning);
    break;
  case CrashLoopPolicy::Step::Left:
    report("crash loop over after a run of " + secondsText(ran), LogLevel::Info);
    break;
  }
}

void Package::launch()
{
  const std::string location = runtime->nodeLocation ? runtime->nodeLocation() : std::string();
  if (location.empty()) {
    Logger::log("Could not start package: Orvane installation is not fully finished", LogLevel::Debug);
    cannotStart("Node.js is not installed yet");
    return;
  }

  int outRead = -1, outWrite = -1, errRead = -1, errWrite = -1;
  if (!makePipe(outRead, outWrite)) {
    Logger::log("Could not start package: " + name, LogLevel::Error);
    cannotStart("cannot create a pipe: " + errorText(errno));
    return;
  }
  UniqueFd outReader(outRead), outWriter(outWrite);
  if (!makePipe(errRead, errWrite)) {
    Logger::log("Could not start package: " + name, LogLevel::Error);
    cannotStart("cannot create a pipe: " + errorText(errno));
    return;
  }
  UniqueFd errReader(errRead), errWriter(errWrite);

  std::vector<std::string> arguments{"node", "--use-openssl-ca", "main.js"};
  const std::optional<uint32_t> limit = memoryLimit();
  if (limit) {
    // V8 collects hard before its heap reaches this; the rest of the limit is left for
    // buffers, code and the runtime itself.
    const uint64_t heapMib = std::max<uint64_t>(1, uint64_t{*limit} * Limits::packageHeapSharePercent / 100);
    arguments.insert(arguments.begin() + 2, "--max-old-space-size=" + std::to_string(heapMib));
  }
  std::string processCgroup;
  if (!runtime->cgroupBase.empty()) {
    processCgroup = PackageCgroups::prepare(runtime->cgroupBase, name, limit);
    if (processCgroup.empty()) {
      Logger::log("Package " + name + ": cannot create its cgroup in " + runtime->cgroupBase +
                      "; contained by its process group alone",
                  LogLevel::Warning);
    }
  }
  LaunchIsolation isolation;
  isolation.ownSession = true;
  // Should Orvane die, even by SIGKILL, the package must not run on without it. Sent when
  // the launching thread ends: packages are launched on the main loop's thread.
  isolation.parentDeathSignal = SIGKILL;
  isolation.cgroupProcsFile = processCgroup.empty() ? std::string() : processCgroup + "/cgroup.procs";
  const std::vector<std::string> environment{
      "HTTP_PORT=" + portText(port),
      "HTTP_PORT_PUBLIC=" + portText(publicPort),
      "INSTALL_PATH=./",
      "PERSISTENT_DATA_PATH=./localdata/",
      "PACKAGE_NAME=" + name,
      "ACAP_NAME=" + runtime->appName,
      "LD_LIBRARY_PATH=" + PackagePaths::libraryDirectory(),
  };
  const std::string executable = location + "node";
  LaunchResult launched =
      launchProcess(executable, arguments, environment, path, outWriter.get(), errWriter.get(), isolation);
  if (launched.failure == LaunchFailure::Isolation && !processCgroup.empty()) {
    // A cgroup that cannot be joined must not keep the package from running at all.
    Logger::log("Package " + name + ": cannot join its cgroup " + processCgroup + " (" + errorText(launched.error) +
                    "); contained by its process group alone",
                LogLevel::Warning);
    ChildProcess(launched.pid).wait();
    PackageCgroups::remove(processCgroup);
    processCgroup.clear();
    isolation.cgroupProcsFile.clear();
    launched = launchProcess(executable, arguments, environment, path, outWriter.get(), errWriter.get(), isolation);
  }
  outWriter.reset();
  errWriter.reset();
  if (launched.pid < 0) {
    Logger::log("Could not start package: " + name, LogLevel::Error);
    cannotStart("cannot fork: " + errorText(launched.error));
    return;
  }
  const auto process = std::make_shared<ChildProcess>(launched.pid);
  Logger::log("Parent child pid: " + std::to_string(launched.pid), LogLevel::Debug);
  if (launched.failure != LaunchFailure::None) {
    cannotStart(logLaunchFailure(launched, name, executable));
    process->wait();
    if (!processCgroup.empty()) {
      PackageCgroups::remove(processCgroup);
    }
    return;
  }
  LeftoverProcesses::save(runtime->runningRecordDirectory, name, launched.pid,
                          ProcessInfo::read(launched.pid).startTime, processCgroup);
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    cgroup = processCgroup;
    memoryLimitExceeded = false;
  }
  started(process);
  try {
    watched = supervisor->watch(process, std::move(outReader), std::move(errReader), *this,
                                ProcessTree(launched.pid, processCgroup));
  } catch (const std::exception& error) {
    // Unwatched, the process would run unseen: the last owner's release kills it.
    Logger::log("Could not start package: " + name + ": " + error.what(), LogLevel::Error);
    std::lock_guard<std::mutex> lock(stateMutex);
    child.reset();
    running = false;
  }
}

void Package::copyToLog(const std::string& line, LogLevel level)
{
  const auto now = std::chrono::steady_clock::now();
  if (logCopies.take(now)) {
    Logger::log(name + ": " + StringUtils::escapeControls(line), level);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (omittedLines++ == 0) {
      firstOmitted = now;
    }
  }
  reportOmitted(now);
}

void Package::reportOmitted(std::chrono::steady_clock::time_point now, bool force)
{
  uint64_t count;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (omittedLines == 0 ||
        (!force && now - firstOmitted < std::chrono::seconds(Limits::packageLogOmittedReportSeconds))) {
      return;
    }
    count = std::exchange(omittedLines, 0);
  }
  Logger::log("Package " + name + ": " + std::to_string(count) +
                  " lines of output left out of this log (too many a second); its own log has them",
              LogLevel::Warning);
}

void Package::outputLine(Supervisor::Pipe pipe, const std::string& line)
{
  const bool out = pipe == Supervisor::Pipe::Out;
  // Whatever the package prints, its log's answers stay valid UTF-8.
  const std::string text = StringUtils::repairUtf8(line);
  lines.add(out ? PackageLog::Stream::Out : PackageLog::Stream::Err, text);
  copyToLog(text, out ? LogLevel::Info : LogLevel::Error);
}

void Package::outputCut(Supervisor::Pipe, size_t droppedBytes)
{
  const std::string text = "output line longer than " + std::to_string(maxLineLength) + " bytes, " +
                           std::to_string(droppedBytes) + " bytes of it cut";
  lines.add(PackageLog::Stream::Orvane, text);
  copyToLog(text, LogLevel::Warning);
}

void Package::killing()
{
  Logger::log("Could not stop package normally, process killed: " + name, LogLevel::Error);
}
