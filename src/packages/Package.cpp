#include "packages/Package.h"

#include "packages/OutputLineBuffer.h"
#include "packages/PackageManifest.h"
#include "packages/PackagePaths.h"
#include "packages/ProcessLauncher.h"
#include "util/Logger.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <system_error>
#include <vector>

namespace {

constexpr size_t readChunkSize = 256;
constexpr std::chrono::milliseconds terminationGrace{1500};
// Without a process descriptor to poll, the end of the process is checked this often while
// its output is read.
constexpr int exitCheckIntervalMs = 100;
// What is still read from a pipe once its process has ended (a descendant may hold it open
// and keep writing).
constexpr size_t drainLimit = 64 * 1024;

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

// One output pipe of the package process and the lines it carries.
class OutputStream {
public:
  OutputStream(int fd, const std::string& name, LogLevel level, PackageLog& ring, PackageLog::Stream stream)
      : fd(fd),
        buffer(
            Package::maxLineLength,
            [&name, level, &ring, stream](const std::string& line) {
              Logger::log(name + ": " + line, level);
              ring.add(stream, line);
            },
            [&name, &ring](size_t dropped) {
              const std::string text = "output line longer than " + std::to_string(Package::maxLineLength) +
                                       " bytes, " + std::to_string(dropped) + " bytes of it cut";
              Logger::log(name + ": " + text, LogLevel::Warning);
              ring.add(PackageLog::Stream::Orvane, text);
            })
  {
  }

  // -1 once the pipe has reached its end, so that poll skips it.
  int pollFd() const { return fd.get(); }

  // One read of at most 256 bytes. False when nothing could be read.
  bool readOnce()
  {
    if (!fd) {
      return false;
    }
    char data[readChunkSize];
    ssize_t count = ::read(fd.get(), data, sizeof data);
    if (count > 0) {
      buffer.append(data, static_cast<size_t>(count));
      return true;
    }
    if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
      fd.reset();
    }
    return false;
  }

  // Reads what is available now, up to drainLimit bytes.
  void drain()
  {
    for (size_t total = 0; total < drainLimit && readOnce(); total += readChunkSize) {
    }
    buffer.flushCut();
  }

private:
  UniqueFd fd;
  OutputLineBuffer buffer;
};

void setNonBlocking(int fd)
{
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) {
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
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
  case LaunchFailure::Execute:
    Logger::log("Failed to execute child process for package: " + name +
                    " error: " + errorText(launched.error),
                LogLevel::Debug);
    return "cannot execute " + executable + ": " + errorText(launched.error);
  }
  return "";
}

// Sends SIGTERM and keeps logging the process's output until it has ended; SIGKILL when
// that takes longer than the grace period. True when it had to be killed.
bool terminate(const std::string& name, ChildProcess& process, OutputStream& out, OutputStream& err)
{
  bool killed = false;
  if (!process.reap()) {
    process.signal(SIGTERM);
    const auto start = std::chrono::steady_clock::now();
    while (!process.reap()) {
      const auto elapsed =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      if (elapsed >= terminationGrace) {
        Logger::log("Could not stop package normally, process killed: " + name, LogLevel::Error);
        process.signal(SIGKILL);
        process.wait();
        killed = true;
        break;
      }
      int timeout = static_cast<int>((terminationGrace - elapsed).count());
      if (process.descriptor() < 0) {
        timeout = std::min(timeout, exitCheckIntervalMs);
      }
      pollfd fds[3] = {
          {out.pollFd(), POLLIN, 0}, {err.pollFd(), POLLIN, 0}, {process.descriptor(), POLLIN, 0}};
      if (poll(fds, 3, timeout) > 0) {
        if (fds[0].revents != 0) {
          out.readOnce();
        }
        if (fds[1].revents != 0) {
          err.readOnce();
        }
      }
    }
  }
  out.drain();
  err.drain();
  return killed;
}

} // namespace

Package::Package(std::string name, int port, int publicPort, std::string path,
                 std::shared_ptr<const PackageRuntime> runtime)
    : name(std::move(name)), port(port), publicPort(publicPort), path(std::move(path)),
      runtime(std::move(runtime))
{
}

Package::~Package()
{
  if (monitorThread.joinable()) {
    stopLocked();
  }
}

void Package::run()
{
  std::lock_guard<std::mutex> lock(runMutex);
  stopLocked();

  PackageManifest manifest;
  const std::string manifestPath = path + "/manifest.json";
  if (!readManifest(manifest, manifestPath)) {
    cannotStart(fileExists(manifestPath) ? "invalid manifest.json" : "no manifest.json");
    return;
  }
  if (!checkRequiredVersion(manifest, runtime->appVersion)) {
    Logger::log("Run package: package requires Orvane version " + manifest.requiredVersion + " or newer.",
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

  wakeFd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wakeFd) {
    Logger::log("Could not start package: " + name, LogLevel::Error);
    cannotStart("cannot create an event descriptor: " + errorText(errno));
    return;
  }
  stopRequested = false;
  try {
    monitorThread = std::thread(&Package::monitor, this);
  } catch (const std::system_error& error) {
    wakeFd.reset();
    Logger::log("Could not start package: " + name, LogLevel::Error);
    cannotStart(std::string("cannot start a thread: ") + error.what());
  }
}

void Package::stop()
{
  std::lock_guard<std::mutex> lock(runMutex);
  stopLocked();
}

void Package::stopLocked()
{
  stopRequested = true;
  if (wakeFd) {
    const uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd.get(), &one, sizeof one);
    (void)ignored;
  }
  if (monitorThread.joinable()) {
    monitorThread.join();
  }
  monitorThread = std::thread();
  wakeFd.reset();
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

void Package::ended(const ExitStatus& exit, bool requested)
{
  std::unique_lock<std::mutex> lock(stateMutex);
  endedAt = std::chrono::steady_clock::now();
  const auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(endedAt - startedAt);
  lastExit = exit;
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

void Package::monitor(Package* package)
{
  Package& self = *package;
  try {
    const std::string location = self.runtime->nodeLocation ? self.runtime->nodeLocation() : std::string();
    if (location.empty()) {
      Logger::log("Could not start package: Orvane installation is not fully finished", LogLevel::Debug);
      self.cannotStart("Node.js is not installed yet");
      return;
    }

    int outRead = -1, outWrite = -1, errRead = -1, errWrite = -1;
    if (!makePipe(outRead, outWrite)) {
      Logger::log("Could not start package: " + self.name, LogLevel::Error);
      self.cannotStart("cannot create a pipe: " + errorText(errno));
      return;
    }
    UniqueFd outReader(outRead), outWriter(outWrite);
    if (!makePipe(errRead, errWrite)) {
      Logger::log("Could not start package: " + self.name, LogLevel::Error);
      self.cannotStart("cannot create a pipe: " + errorText(errno));
      return;
    }
    UniqueFd errReader(errRead), errWriter(errWrite);

    const std::vector<std::string> arguments{"node", "--use-openssl-ca", "main.js"};
    const std::vector<std::string> environment{
        "HTTP_PORT=" + portText(self.port),
        "HTTP_PORT_PUBLIC=" + portText(self.publicPort),
        "INSTALL_PATH=./",
        "PERSISTENT_DATA_PATH=./localdata/",
        "PACKAGE_NAME=" + self.name,
        "ACAP_NAME=" + self.runtime->appName,
        "LD_LIBRARY_PATH=" + PackagePaths::libraryDirectory(),
    };
    const std::string executable = location + "node";
    const LaunchResult launched =
        launchProcess(executable, arguments, environment, self.path, outWriter.get(), errWriter.get());
    outWriter.reset();
    errWriter.reset();
    if (launched.pid < 0) {
      Logger::log("Could not start package: " + self.name, LogLevel::Error);
      self.cannotStart("cannot fork: " + errorText(launched.error));
      return;
    }
    const auto process = std::make_shared<ChildProcess>(launched.pid);
    Logger::log("Parent child pid: " + std::to_string(launched.pid), LogLevel::Debug);
    if (launched.failure != LaunchFailure::None) {
      self.cannotStart(logLaunchFailure(launched, self.name, executable));
      process->wait();
      return;
    }
    self.started(process);

    setNonBlocking(outReader.get());
    setNonBlocking(errReader.get());
    OutputStream out(outReader.release(), self.name, LogLevel::Info, self.lines, PackageLog::Stream::Out);
    OutputStream err(errReader.release(), self.name, LogLevel::Error, self.lines, PackageLog::Stream::Err);

    const int timeout = process->descriptor() < 0 ? exitCheckIntervalMs : -1;
    bool endedByItself = false;
    while (!self.stopRequested && !endedByItself) {
      pollfd fds[4] = {{out.pollFd(), POLLIN, 0},
                       {err.pollFd(), POLLIN, 0},
                       {self.wakeFd.get(), POLLIN, 0},
                       {process->descriptor(), POLLIN, 0}};
      int ready = poll(fds, 4, timeout);
      if (ready < 0) {
        if (errno != EINTR) {
          // Not expected; keep the thread from spinning should it persist.
          poll(nullptr, 0, 100);
        }
        continue;
      }
      if (fds[0].revents != 0) {
        out.readOnce();
      }
      if (fds[1].revents != 0) {
        err.readOnce();
      }
      if (fds[3].revents != 0 || timeout >= 0 || ready == 0) {
        endedByItself = process->reap();
      }
    }
    if (endedByItself) {
      out.drain();
      err.drain();
    } else if (terminate(self.name, *process, out, err)) {
      self.lines.add(PackageLog::Stream::Orvane,
                     "killed: still running " + secondsText(terminationGrace) + " after SIGTERM");
    }
    self.ended(*process->exitStatus(), !endedByItself);
  } catch (const std::exception& error) {
    Logger::log("Package monitor of " + self.name + " failed: " + error.what(), LogLevel::Error);
    std::lock_guard<std::mutex> lock(self.stateMutex);
    self.child.reset();
    self.running = false;
  }
}
