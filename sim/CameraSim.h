#pragma once

#include "Credentials.h"
#include "FaultInjector.h"
#include "ParameterStore.h"
#include "VapixServer.h"

#include <gio/gio.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The state of the simulated camera, shared by its D-Bus services and its web server.
struct CameraSim {
  static constexpr const char* vapixAddress = "127.0.0.12";

  ParameterStore store;
  Credentials credentials;
  FaultInjector faults;
  GDBusConnection* bus = nullptr;
  std::unique_ptr<VapixServer> vapix;
  // When set, every parameter is written there (Name=Value lines) after each change, so
  // that the next run can start from it as a camera keeps its settings across reboots.
  std::string keepFile;

  // Writes every parameter to keepFile, if set, replacing it whole; false when it fails.
  bool keep();

  // Announces stored parameters with the Changed signal, from any thread, and moves the
  // web server when System.BoaPort is among them.
  void announce(const std::vector<ParameterStore::Entry>& changes);

  // (Re)starts the web server on the port System.BoaPort names; false with `error` set.
  bool listenOnBoaPort(std::string& error);

private:
  std::mutex keepMutex;
};
