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
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <functional>
#include <system_error>
#include <vector>

namespace {

constexpr size_t readChunkSize = 256;
constexpr std::chrono::milliseconds terminationGrace{1500};
// Without a process descriptor to wait on, the end of a terminated process is checked this
// often while its output is read.
constexpr int exitCheckIntervalMs = 10;
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

// One output pipe of the package process and the lines it carries.
class OutputStream {
public:
  OutputStream(int fd, const std::string& name, LogLevel level)
      : fd(fd),
        buffer(
            Package::maxLineLength,
            [&name, level](const std::string& line) { Logger::log(name + ": " + line, level); },
            [&name](size_t dropped) {
              Logger::log(name + ": output line longer than " + std::to_string(Package::maxLineLength) +
                              " bytes, " + std::to_string(dropped) + " bytes of it cut",
                          LogLevel::Warning);
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

void logLaunchFailure(const LaunchResult& launched, const std::string& name)
{
  switch (launched.failure) {
  case LaunchFailure::None:
    break;
  case LaunchFailure::StandardOutput:
    Logger::log("Could not get std output for package: " + name, LogLevel::Error);
    break;
  case LaunchFailure::StandardError:
    Logger::log("Could not get err output for package: " + name, LogLevel::Error);
    break;
  case LaunchFailure::WorkingDirectory:
    Logger::log("Could not change working directory for package: " + name, LogLevel::Error);
    break;
  case LaunchFailure::Execute:
    Logger::log("Failed to execute child process for package: " + name +
                    " error: " + errorText(launched.error),
                LogLevel::Debug);
    break;
  }
}

int openProcessFd(pid_t pid)
{
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void signalProcess(pid_t pid, int processFd, int signal)
{
  // Through the process descriptor the signal cannot reach another process that was
  // given the same id.
  if (processFd < 0 || syscall(SYS_pidfd_send_signal, processFd, signal, nullptr, 0) != 0) {
    kill(pid, signal);
  }
}

// Sends SIGTERM and keeps logging the process's output until it has ended; SIGKILL when
// that takes longer than the grace period. `ended` tells (and collects) the end.
void terminate(const std::string& name, pid_t pid, int processFd, const std::function<bool()>& ended,
               OutputStream& out, OutputStream& err)
{
  if (pid != 0 && !ended()) {
    signalProcess(pid, processFd, SIGTERM);
    const auto start = std::chrono::steady_clock::now();
    while (!ended()) {
      const auto elapsed =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      if (elapsed >= terminationGrace) {
        Logger::log("Could not stop package normally, process killed: " + name, LogLevel::Error);
        signalProcess(pid, processFd, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        break;
      }
      int timeout = static_cast<int>((terminationGrace - elapsed).count());
      if (processFd < 0) {
        timeout = std::min(timeout, exitCheckIntervalMs);
      }
      pollfd fds[3] = {{out.pollFd(), POLLIN, 0}, {err.pollFd(), POLLIN, 0}, {processFd, POLLIN, 0}};
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
  if (!readManifest(manifest, path + "/manifest.json")) {
    return;
  }
  if (!checkRequiredVersion(manifest, runtime->appVersion)) {
    Logger::log("Run package: package requires Orvane version " + manifest.requiredVersion + " or newer.",
                LogLevel::Error);
    return;
  }

  wakeFd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wakeFd) {
    Logger::log("Could not start package: " + name, LogLevel::Error);
    return;
  }
  stopRequested = false;
  try {
    monitorThread = std::thread(&Package::monitor, this);
  } catch (const std::system_error&) {
    wakeFd.reset();
    Logger::log("Could not start package: " + name, LogLevel::Error);
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

bool Package::processEnded()
{
  const pid_t child = pid.load();
  if (child == 0 || collectedPid.load() == child) {
    return true;
  }
  int status = 0;
  const pid_t result = waitpid(child, &status, WNOHANG);
  if (result == 0) {
    return false;
  }
  if (result == child || errno == ECHILD) {
    collectedPid = child;
  }
  return true;
}

bool Package::isRunning()
{
  return !processEnded();
}

void Package::sendSignal(int signal)
{
  const pid_t child = pid.load();
  if (!processEnded()) {
    kill(child, signal);
  }
}

void Package::monitor(Package* package)
{
  Package& self = *package;
  try {
    const std::string location = self.runtime->nodeLocation ? self.runtime->nodeLocation() : std::string();
    if (location.empty()) {
      Logger::log("Could not start package: Orvane installation is not fully finished", LogLevel::Debug);
      return;
    }

    int outRead = -1, outWrite = -1, errRead = -1, errWrite = -1;
    if (!makePipe(outRead, outWrite)) {
      Logger::log("Could not start package: " + self.name, LogLevel::Error);
      return;
    }
    UniqueFd outReader(outRead), outWriter(outWrite);
    if (!makePipe(errRead, errWrite)) {
      Logger::log("Could not start package: " + self.name, LogLevel::Error);
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
    const LaunchResult launched =
        launchProcess(location + "node", arguments, environment, self.path, outWriter.get(), errWriter.get());
    outWriter.reset();
    errWriter.reset();
    if (launched.pid < 0) {
      Logger::log("Could not start package: " + self.name, LogLevel::Error);
      return;
    }
    // Opened before the id is published: nobody can have collected the child yet.
    UniqueFd processFd(openProcessFd(launched.pid));
    self.pid = launched.pid;
    Logger::log("Parent child pid: " + std::to_string(launched.pid), LogLevel::Debug);
    logLaunchFailure(launched, self.name);

    setNonBlocking(outReader.get());
    setNonBlocking(errReader.get());
    OutputStream out(outReader.release(), self.name, LogLevel::Info);
    OutputStream err(errReader.release(), self.name, LogLevel::Error);

    while (!self.stopRequested) {
      pollfd fds[3] = {{out.pollFd(), POLLIN, 0}, {err.pollFd(), POLLIN, 0}, {self.wakeFd.get(), POLLIN, 0}};
      int ready = poll(fds, 3, -1);
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
    }
    terminate(
        self.name, launched.pid, processFd.get(), [&self] { return self.processEnded(); }, out, err);
  } catch (const std::exception& error) {
    Logger::log("Package monitor of " + self.name + " failed: " + error.what(), LogLevel::Error);
  }
  self.pid = 0;
}
