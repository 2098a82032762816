#pragma once

#include "CameraSim.h"

#include <gio/gio.h>

#include <string>

// camera-sim's D-Bus objects. Each returns false with `error` set when the object
// cannot be registered on the connection.
namespace BusService {

// dev.orvane.CameraSim.Parameters and dev.orvane.CameraSim.Control on SimBus's object.
bool registerParameterService(GDBusConnection* bus, CameraSim& sim, std::string& error);

// com.axis.HTTPConf1.VAPIXServiceAccounts1.GetCredentials, as the camera offers it.
bool registerCredentialsService(GDBusConnection* bus, CameraSim& sim, std::string& error);

// Takes a well-known name on the bus, synchronously; false when another owner has it.
bool ownName(GDBusConnection* bus, const char* name, std::string& error);

} // namespace BusService
