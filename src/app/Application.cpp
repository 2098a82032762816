#include "app/Application.h"

#include "app/ApplicationParameters.h"
#include "app/Constants.h"
#include "app/LocalDataMigration.h"
#include "app/PackageConfigurations.h"
#include "app/TestTimings.h"
#include "camera/CameraInfo.h"
#include "camera/CameraParameters.h"
#include "camera/VapixAccess.h"
#include "http/HttpServer.h"
#include "packages/InterruptedOperations.h"
#include "packages/NodeUpdater.h"
#include "packages/PackageCgroups.h"
#include "packages/PackageController.h"
#include "packages/PackagePaths.h"
#include "packages/PackageRuntime.h"
#include "packages/Probation.h"
#include "util/Failure.h"
#include "util/FileSync.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "ws/WsServer.h"

#include <glib-unix.h>
#include <malloc.h>

#include <csignal>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

const char* Orvane::buildId()
{
  return ORVANE_BUILD_ID;
}

namespace {

// Everything the process runs on, owned by runApplication for the whole run. Stopped
// explicitly, in the order of stop(); nothing waits for static destruction.
class Services {
public:
  Services() : loop(g_main_loop_new(nullptr, FALSE)) {}
  ~Services()
  {
    stop();
    for (guint source : signalSources) {
      g_source_remove(source);
    }
    g_main_loop_unref(loop);
  }
  Services(const Services&) = delete;
  Services& operator=(const Services&) = delete;

  // Servers first, so that no request or connection reaches a package being stopped; the
  // packages last, each waited for. Main thread, outside the main loop.
  void stop()
  {
    if (stopped) {
      return;
    }
    stopped = true;
    for (guint* timer : {&checkParametersTimer, &startPackagesTimer}) {
      if (*timer != 0) {
        g_source_remove(*timer);
        *timer = 0;
      }
    }
    stopWatchingParameterChanges();
    if (wsServer) {
      wsServer->stop();
    }
    if (httpServer) {
      stopServingMainContext([this]() { httpServer->stop(); });
    }
    if (packageController) {
      try {
        packageController->stopAll();
      } catch (const std::exception& error) {
        Logger::log(std::string("Stopping the packages failed: ") + error.what(), LogLevel::Error);
      }
    }
  }

  std::shared_ptr<VapixAccess> vapixAccess;
  std::shared_ptr<CameraParameters> parameters;
  std::shared_ptr<PackageController> packageController;
  std::unique_ptr<HttpServer> httpServer;
  std::unique_ptr<WsServer> wsServer;
  GMainLoop* const loop;
  // Kept until the end: a second signal while stopping only asks again to quit.
  std::vector<guint> signalSources;
  // Removed before anything is stopped.
  guint checkParametersTimer = 0;
  guint startPackagesTimer = 0;

private:
  bool stopped = false;

  // Runs `stopping` on a thread of its own while this thread keeps serving the main context:
  // a request handler may be waiting for a call it handed to the main loop, and the server
  // waits for its handlers.
  template <typename Stopping> void stopServingMainContext(Stopping stopping)
  {
    GMainLoop* draining = g_main_loop_new(nullptr, FALSE);
    std::thread stopper([&]() {
      stopping();
      g_idle_add(
          [](gpointer loopToQuit) {
            g_main_loop_quit(static_cast<GMainLoop*>(loopToQuit));
            return G_SOURCE_REMOVE;
          },
          draining);
    });
    g_main_loop_run(draining);
    stopper.join();
    g_main_loop_unref(draining);
  }
};

gboolean onTerminationSignal(gpointer userData)
{
  Logger::log("Caught termination signal!", LogLevel::Debug);
  g_main_loop_quit(static_cast<Services*>(userData)->loop);
  return G_SOURCE_CONTINUE;
}

gboolean onCheckParametersTimer(gpointer userData)
{
  auto& services = *static_cast<Services*>(userData);
  services.checkParametersTimer = 0;
  try {
    services.parameters->checkParameters();
  } catch (const std::exception& error) {
    Logger::log(std::string("Parameter check failed: ") + error.what(), LogLevel::Error);
  }
  return G_SOURCE_REMOVE;
}

gboolean onStartPackagesTimer(gpointer userData)
{
  try {
    PackageController& controller = *static_cast<Services*>(userData)->packageController;
    checkProbations(controller);
    controller.startAll();
  } catch (const std::exception& error) {
    Logger::log(std::string("Starting the packages failed: ") + error.what(), LogLevel::Error);
  }
  return G_SOURCE_CONTINUE;
}

std::string parameterValue(CameraParameters& params, const std::string& name)
{
  const std::map<std::string, std::string> values = params.getParameters();
  const auto found = values.find(name);
  return found == values.end() ? std::string() : found->second;
}

PackageRuntime packageRuntime(const std::shared_ptr<CameraParameters>& params, const std::string& version)
{
  PackageRuntime runtime;
  runtime.appName = Orvane::appName;
  runtime.appVersion = version;
  runtime.flashPackageRoot = PackagePaths::flashPackageRoot();
  runtime.sdPackageRoot = PackagePaths::sdPackageRoot();
  runtime.firstPort = Orvane::firstPackagePort;
  runtime.lastPort = Orvane::lastPackagePort;
  // A copy of the cached value, safe on any thread.
  runtime.nodeLocation = [params]() { return parameterValue(*params, "NodejsLocation"); };
  runtime.cgroupBase = PackageCgroups::detectBase();
  runtime.runningRecordDirectory = Orvane::runningPackagesDirectory;
  Logger::log(runtime.cgroupBase.empty() ? std::string("Packages are contained by their process groups")
                                         : "Packages are contained by cgroups below " + runtime.cgroupBase,
              LogLevel::Info);
  return runtime;
}

// The start-up sequence up to the running servers. Returns 0 when everything runs.
int start(Services& services)
{
  PackagePaths::setApplicationName(Orvane::appName);
  try {
    services.vapixAccess = std::make_shared<VapixAccess>(Orvane::appName);
    services.parameters = std::make_shared<CameraParameters>(Orvane::appName, services.vapixAccess);
    // Nothing reads the identity later; a device that does not tell its serial number and
    // firmware is still not one to start on.
    readCameraInfo(*services.parameters);

    // The version shown on the camera: not one to refuse a start over.
    for (const auto& [name, value] : {std::pair<const char*, std::string>{"Version", Orvane::appVersion},
                                      {"VersionHash", Orvane::buildId()}}) {
      try {
        services.parameters->setApplicationParameter(name, value);
      } catch (const Failure& failure) {
        Logger::log(failure.what(), LogLevel::Error);
      }
    }

    for (const std::string& name : applicationParameterNames()) {
      try {
        services.parameters->addParameter(name);
        services.parameters->registerCallback(name, onParameterChanged);
      } catch (const Failure& failure) {
        Logger::log(failure.what(), LogLevel::Error);
        Logger::log("Invalid parameter: " + name, LogLevel::Error);
        return 1;
      }
    }
  } catch (const std::runtime_error& error) {
    Logger::log(error.what(), LogLevel::Error);
    return 1;
  }
  CameraParameters& params = *services.parameters;
  Logger::setLevel(parameterValue(params, "LogLevel"));
  const std::string version = parameterValue(params, "Version");

  if (!startupNodeUpdate(params)) {
    Logger::log("Cannot install new NodeJS version", LogLevel::Error);
    return 1;
  }
  migrateLocalData();
  const char* syncMode = std::getenv("ORVANE_BENCH_SYNC"); // benchmarks only: "off", "perfile"
  FileSync::setMode(FileSync::modeNamed(syncMode != nullptr ? syncMode : ""));
  const char* timingsText = std::getenv("ORVANE_TEST_TIMINGS");
  const TestTimings timings = parseTestTimings(timingsText != nullptr ? timingsText : "");
  PackageRuntime runtime = packageRuntime(services.parameters, version);
  runtime.logCopyLinesPerSecond = timings.logCopyLinesPerSecond;
  runtime.logCopyBurstLines = timings.logCopyLinesPerSecond * 10;
  runtime.outputBytesPerSecond = timings.outputBytesPerSecond;
  services.packageController = std::make_shared<PackageController>(std::move(runtime));
  // Once leftover package processes have ended, before any package is registered or starts
  // and before anything stages.
  recoverInterruptedOperations();
  PackageController& controller = *services.packageController;
  controller.setCrashLoopTimings(timings.crashLoop);
  applyPackageConfigurations(params, controller);
  watchParameterChanges(params, [&params, &controller]() { applyPackageConfigurations(params, controller); });

  services.httpServer = std::make_unique<HttpServer>(services.packageController, services.parameters);
  if (!services.httpServer->start(Orvane::httpApiPort)) {
    Logger::log("Cannot start http API server", LogLevel::Error);
    return 1;
  }

  services.wsServer = std::make_unique<WsServer>();
  if (!services.wsServer->start(Orvane::webSocketPort)) {
    Logger::log("Cannot start websocket server", LogLevel::Error);
    return 1;
  }

  services.checkParametersTimer =
      g_timeout_add_seconds(Orvane::checkParametersDelaySeconds, onCheckParametersTimer, &services);
  services.startPackagesTimer =
      g_timeout_add(static_cast<guint>(timings.startPeriod.count()), onStartPackagesTimer, &services);
  return 0;
}

} // namespace

int runApplication(int argc, char** argv)
{
  // Before any thread: glibc gives threads that allocate at once arenas of their own, up to
  // eight per core, each keeping pages dirty for good.
  mallopt(M_ARENA_MAX, Limits::mallocArenas);
  Services services;
  for (int signal : {SIGINT, SIGTERM}) {
    services.signalSources.push_back(g_unix_signal_add(signal, onTerminationSignal, &services));
  }

  // Switched on before the platform services are built, so that their start-up failures
  // reach the console too.
  Logger::setConsoleOutput(argc >= 2);

  if (start(services) != 0) {
    return 1;
  }
  g_main_loop_run(services.loop);
  services.stop();
  Logger::log("Exit", LogLevel::Debug);
  return 0;
}
