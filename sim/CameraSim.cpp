#include "CameraSim.h"

#include "SimBus.h"

#include <cstdio>
#include <fstream>
#include <iostream>

bool CameraSim::keep()
{
  if (keepFile.empty()) {
    return true;
  }
  // Changes arrive from the web server's thread and the bus's; one writer at a time, and a
  // rename, so that the file is always one whole snapshot.
  std::lock_guard<std::mutex> lock(keepMutex);
  const std::string staged = keepFile + ".new";
  {
    std::ofstream file(staged, std::ios::trunc);
    for (const auto& [name, value] : store.all()) {
      file << name << "=" << value << "\n";
    }
    if (!file.flush()) {
      std::cerr << "camera-sim: cannot write " << staged << std::endl;
      return false;
    }
  }
  if (std::rename(staged.c_str(), keepFile.c_str()) != 0) {
    std::cerr << "camera-sim: cannot replace " << keepFile << std::endl;
    return false;
  }
  return true;
}

void CameraSim::announce(const std::vector<ParameterStore::Entry>& changes)
{
  keep();
  for (const auto& [name, value] : changes) {
    std::cerr << "parameter: " << name << "=" << value << std::endl;
    if (bus != nullptr) {
      g_dbus_connection_emit_signal(
          bus, nullptr, SimBus::objectPath, SimBus::parametersInterface, "Changed",
          g_variant_new("(ss)", ParameterStore::platformName(name).c_str(), value.c_str()), nullptr);
    }
    if (ParameterStore::key(name) == "system.boaport") {
      // Not on the web server's own thread, which cannot stop itself.
      g_idle_add(
          [](gpointer self) {
            std::string error;
            if (!static_cast<CameraSim*>(self)->listenOnBoaPort(error)) {
              std::cerr << "vapix: " << error << std::endl;
            }
            return G_SOURCE_REMOVE;
          },
          this);
    }
  }
}

bool CameraSim::listenOnBoaPort(std::string& error)
{
  auto text = store.get("System.BoaPort");
  if (!text) {
    error = "System.BoaPort is not declared";
    return false;
  }
  unsigned long port = 0;
  try {
    port = std::stoul(*text);
  } catch (const std::exception&) {
    error = "System.BoaPort is not a port number: " + *text;
    return false;
  }
  if (port == 0 || port > 65535) {
    error = "System.BoaPort is not a port number: " + *text;
    return false;
  }
  if (vapix->port() == port) {
    return true;
  }
  if (!vapix->start(vapixAddress, static_cast<uint16_t>(port), error)) {
    return false;
  }
  std::cerr << "vapix: listening on " << vapixAddress << ":" << port << std::endl;
  return true;
}
