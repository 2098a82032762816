#include "app/Application.h"

#include "app/AppContext.h"
#include "app/ApplicationParameters.h"
#include "app/Constants.h"
#include "app/LocalDataMigration.h"
#include "app/PackageConfigurations.h"
#include "app/TestTimings.h"
#include "camera/Camera.h"
#include "camera/ParamsManager2.h"
#include "camera/VapixAccess.h"
#include "http/HttpServer.h"
#include "packages/NodeUpdater.h"
#include "packages/PackageController.h"
#include "packages/PackagePaths.h"
#include "util/Logger.h"
#include "ws/WsServer.h"

#include <glib-unix.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <stdexcept>

namespace {
GMainLoop* mainLoop = nullptr;
} // namespace

const char* Orvane::buildId()
{
  return ORVANE_BUILD_ID;
}

gboolean onTerminationSignal(gpointer)
{
  Logger::log("Caught termination signal!", LogLevel::Debug);
  try {
    if (auto controller = AppContext::instance().packageController) {
      controller->stopAll();
    }
  } catch (const std::exception& error) {
    Logger::log(std::string("Stopping the packages failed: ") + error.what(), LogLevel::Error);
  }
  Logger::log("Exit", LogLevel::Debug);
  exit(0);
}

gboolean onCheckParametersTimer(gpointer)
{
  try {
    if (auto params = AppContext::instance().paramsManager) {
      params->checkParameters();
    }
  } catch (const std::exception& error) {
    Logger::log(std::string("Parameter check failed: ") + error.what(), LogLevel::Error);
  }
  return G_SOURCE_REMOVE;
}

gboolean onStartPackagesTimer(gpointer)
{
  try {
    if (auto controller = AppContext::instance().packageController) {
      controller->startAll();
    }
  } catch (const std::exception& error) {
    Logger::log(std::string("Starting the packages failed: ") + error.what(), LogLevel::Error);
  }
  return G_SOURCE_CONTINUE;
}

int runApplication(int argc, char** argv)
{
  g_unix_signal_add(SIGINT, onTerminationSignal, nullptr);
  g_unix_signal_add(SIGTERM, onTerminationSignal, nullptr);

  // Switched on before the platform services are built, so that their start-up failures
  // reach the console too.
  Logger::setConsoleOutput(argc >= 2);

  AppContext& context = AppContext::instance();
  try {
    context.vapixAccess = std::make_shared<VapixAccess>(Orvane::appName);
    context.paramsManager = std::make_shared<ParamsManager2>(Orvane::appName, context.vapixAccess);
    context.camera = std::make_shared<Camera>(context.paramsManager);

    const std::string group = std::string(Orvane::appName) + ".";
    context.paramsManager->setVapixParameter(group + "Version", Orvane::appVersion);
    context.paramsManager->setVapixParameter(group + "VersionHash", Orvane::buildId());

    for (const std::string& name : applicationParameterNames()) {
      if (!context.paramsManager->addParameter(name) ||
          !context.paramsManager->registerCallback(name, onParameterChanged)) {
        Logger::log("Invalid parameter: " + name, LogLevel::Error);
        return 1;
      }
    }
  } catch (const std::runtime_error& error) {
    Logger::log(error.what(), LogLevel::Error);
    return 1;
  }

  std::map<std::string, std::string> parameters = context.paramsManager->getParameters();
  Logger::setLevel(parameters["LogLevel"]);
  context.version = parameters["Version"];

  if (!startupNodeUpdate()) {
    Logger::log("Cannot install new NodeJS version", LogLevel::Error);
    return 1;
  }
  migrateLocalData();
  // Whatever an interrupted install, removal, import or upload left in staging is never
  // needed again; nothing stages before the HTTP API is up.
  PackagePaths::removeStaleStaging();
  context.packageController = std::make_shared<PackageController>();
  const char* timingsText = std::getenv("ORVANE_TEST_TIMINGS");
  const TestTimings timings = parseTestTimings(timingsText != nullptr ? timingsText : "");
  context.packageController->setCrashLoopTimings(timings.crashLoop);
  applyPackageConfigurations();

  context.httpServer = std::make_unique<HttpServer>();
  if (!context.httpServer->start(Orvane::httpApiPort)) {
    Logger::log("Cannot start http API server", LogLevel::Error);
    return 1;
  }

  context.wsServer = std::make_unique<WsServer>();
  if (!context.wsServer->start(Orvane::webSocketPort)) {
    Logger::log("Cannot start websocket server", LogLevel::Error);
    return 1;
  }

  g_timeout_add_seconds(Orvane::checkParametersDelaySeconds, onCheckParametersTimer, nullptr);
  g_timeout_add(static_cast<guint>(timings.startPeriod.count()), onStartPackagesTimer, nullptr);

  mainLoop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(mainLoop);
  return 0;
}
