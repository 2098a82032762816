// camera-sim: the camera around Orvane on a development machine. One process holds the
// parameter store, the VAPIX service-account credentials, the local web server with
// param.cgi, and the event service, all reached over the system bus at
// DBUS_SYSTEM_BUS_ADDRESS.
//
//   camera-sim [--defaults FILE] [--keep FILE] [--params FILE]...
//
// The declarations of --defaults (unless given, sim/params.default as it was at build
// time, compiled in) are read first, then the --keep file when it exists, then each
// --params file over them; with --keep every parameter is written back to that file at
// the start and after each change. "camera-sim: ready" goes to standard error once every
// service answers. Further D-Bus services register in registerServices below.

#include "BusService.h"
#include "CameraSim.h"
#include "CameraSimDefaults.h"
#include "EventService.h"
#include "SimBus.h"

#include <gio/gio.h>
#include <glib-unix.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool readFile(const std::string& path, std::string& text)
{
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return false;
  }
  std::ostringstream content;
  content << file.rdbuf();
  text = content.str();
  return true;
}

void applyDeclarations(ParameterStore& store, const std::string& origin, const std::string& text)
{
  for (const auto& problem : store.applyDeclarations(text)) {
    std::cerr << "camera-sim: " << origin << ": ignored " << problem << std::endl;
  }
}

bool loadDeclarations(ParameterStore& store, const std::string& path)
{
  std::string text;
  if (!readFile(path, text)) {
    std::cerr << "camera-sim: cannot read " << path << std::endl;
    return false;
  }
  applyDeclarations(store, path, text);
  return true;
}

bool registerServices(GDBusConnection* bus, CameraSim& sim, std::string& error)
{
  return BusService::registerParameterService(bus, sim, error) &&
         BusService::registerCredentialsService(bus, sim, error) && registerEventService(bus, error);
}

int usage()
{
  std::cerr << "usage: camera-sim [--defaults FILE] [--keep FILE] [--params FILE]..." << std::endl;
  return 2;
}

} // namespace

int main(int argc, char** argv)
{
  std::string defaults;
  std::vector<std::string> overrides;
  CameraSim sim;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--defaults" && i + 1 < argc) {
      defaults = argv[++i];
    } else if (option == "--keep" && i + 1 < argc) {
      sim.keepFile = argv[++i];
    } else if (option == "--params" && i + 1 < argc) {
      overrides.push_back(argv[++i]);
    } else {
      return usage();
    }
  }

  if (defaults.empty()) {
    applyDeclarations(sim.store, "built-in defaults", CameraSimDefaults::text);
  } else if (!loadDeclarations(sim.store, defaults)) {
    return 1;
  }
  if (!sim.keepFile.empty() && std::ifstream(sim.keepFile) && !loadDeclarations(sim.store, sim.keepFile)) {
    return 1;
  }
  for (const auto& path : overrides) {
    if (!loadDeclarations(sim.store, path)) {
      return 1;
    }
  }
  if (!sim.keep()) {
    return 1;
  }

  GError* gerror = nullptr;
  sim.bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &gerror);
  if (sim.bus == nullptr) {
    std::cerr << "camera-sim: no system bus: " << gerror->message << std::endl;
    g_clear_error(&gerror);
    return 1;
  }
  g_dbus_connection_set_exit_on_close(sim.bus, FALSE);

  sim.vapix = std::make_unique<VapixServer>(sim.store, sim.credentials, sim.faults,
                                            [&sim](const auto& changes) { sim.announce(changes); });
  std::string error;
  // The web server and every object first, the names last: whoever sees the names
  // finds everything answering.
  bool ok = sim.listenOnBoaPort(error) && registerServices(sim.bus, sim, error) &&
            BusService::ownName(sim.bus, SimBus::credentialsBusName, error) &&
            BusService::ownName(sim.bus, SimBus::busName, error);
  if (!ok) {
    std::cerr << "camera-sim: " << error << std::endl;
    sim.vapix.reset();
    g_object_unref(sim.bus);
    return 1;
  }

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  auto quit = [](gpointer data) {
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_REMOVE;
  };
  g_unix_signal_add(SIGTERM, quit, loop);
  g_unix_signal_add(SIGINT, quit, loop);
  std::cerr << "camera-sim: ready" << std::endl;
  g_main_loop_run(loop);
  g_main_loop_unref(loop);

  sim.vapix.reset();
  g_dbus_connection_flush_sync(sim.bus, nullptr, nullptr);
  g_object_unref(sim.bus);
  std::cerr << "camera-sim: stopped" << std::endl;
  return 0;
}
