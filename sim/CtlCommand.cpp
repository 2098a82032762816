#include "CtlCommand.h"

#include "SimBus.h"

#include <climits>
#include <cstdlib>

std::vector<CtlCommand>& ctlCommands()
{
  static std::vector<CtlCommand> commands;
  return commands;
}

CtlCommandRegistrar::CtlCommandRegistrar(std::vector<CtlCommand> commands)
{
  for (auto& command : commands) {
    ctlCommands().push_back(std::move(command));
  }
}

GVariant* callSim(GDBusConnection* bus, const char* interfaceName, const char* method, GVariant* parameters,
                  const char* replyType, std::string& error)
{
  GError* gerror = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, SimBus::busName, SimBus::objectPath, interfaceName, method, parameters,
      replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &gerror);
  if (reply == nullptr) {
    g_dbus_error_strip_remote_error(gerror);
    error = gerror->message;
    g_clear_error(&gerror);
  }
  return reply;
}

bool parseUnsigned(const std::string& text, unsigned& value)
{
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) {
    return false;
  }
  value = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
  return true;
}
