#include "app/Application.h"

#include "app/AppContext.h"
#include "app/Constants.h"
#include "util/Logger.h"

#include <glib-unix.h>

#include <csignal>
#include <cstdlib>
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
  Logger::log("Exit", LogLevel::Debug);
  exit(0);
}

gboolean onCheckParametersTimer(gpointer)
{
  return G_SOURCE_REMOVE;
}

gboolean onStartPackagesTimer(gpointer)
{
  return G_SOURCE_CONTINUE;
}

int runApplication(int argc, char** argv)
{
  g_unix_signal_add(SIGINT, onTerminationSignal, nullptr);
  g_unix_signal_add(SIGTERM, onTerminationSignal, nullptr);

  Logger::setConsoleOutput(argc >= 2);
  AppContext::instance().version = Orvane::appVersion;

  g_timeout_add_seconds(Orvane::checkParametersDelaySeconds, onCheckParametersTimer, nullptr);
  g_timeout_add_seconds(Orvane::startPackagesPeriodSeconds, onStartPackagesTimer, nullptr);

  mainLoop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(mainLoop);
  return 0;
}
