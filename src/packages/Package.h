#pragma once

#include "packages/PackageRuntime.h"
#include "util/UniqueFd.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// One registered package and the process that runs it: a monitor thread forks Node.js on
// the package's main.js, logs what it prints line by line and terminates it when asked to
// stop (SIGTERM, then SIGKILL after 1.5 s). A process that ends by itself is not restarted
// here; the controller runs the package again.
class Package {
public:
  // The port value of a package for which no port of the range was free. Package::getPort
  // gives it to the proxy, which answers that the package has no port; the process
  // receives "0" in its environment instead (a server listening there gets an ephemeral
  // port that nothing forwards to).
  static constexpr int noPort = -1;

  // The longest output line logged as it is; the rest of a longer line is dropped and its
  // length logged.
  static constexpr size_t maxLineLength = 4096;

  // `path` is the package directory, without a final "/"; `runtime` says where Node.js is
  // and which application runs the package. Nothing is started.
  Package(std::string name, int port, int publicPort, std::string path,
          std::shared_ptr<const PackageRuntime> runtime);
  // A package is stopped before it is dropped; should a monitor thread still exist, it is
  // stopped here rather than left unjoined.
  ~Package();

  Package(const Package&) = delete;
  Package& operator=(const Package&) = delete;

  // Stops a previous run, checks the manifest and the required application version and
  // starts the monitor thread. Logs and leaves the package stopped when a check fails.
  void run();

  // Asks the monitor thread to end and waits for it, including the termination of the
  // process. Returns at once when no thread exists.
  void stop();

  // Sends `signal` to the process if it is running.
  void sendSignal(int signal);

  // True while the process exists and has not ended; collects an ended process.
  bool isRunning();

  std::string getName() const { return name; }

  // The public port when `isPublic`, else the private one; noPort when none was free.
  int getPort(bool isPublic) const { return isPublic ? publicPort : port; }

  const std::string& getPath() const { return path; }

  // The monitor thread's body; runs until a stop is requested.
  static void monitor(Package* package);

private:
  // True when the process in `pid` has ended (it is then collected) or there is none.
  bool processEnded();
  void stopLocked();

  const std::string name;
  const int port;
  const int publicPort;
  const std::string path;
  const std::shared_ptr<const PackageRuntime> runtime;
  std::atomic<bool> stopRequested{false};
  std::thread monitorThread;
  std::atomic<pid_t> pid{0};
  // The id of the last process some wait has collected, so that the id, which the system
  // may hand to another process, is never waited for or signalled again.
  std::atomic<pid_t> collectedPid{0};
  // Serialises run and stop, which come from the main loop and from HTTP threads.
  std::mutex runMutex;
  // Wakes the monitor thread when a stop is requested.
  UniqueFd wakeFd;
};
