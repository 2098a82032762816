// camera-sim-ctl words of the event service.

#include "CtlCommand.h"
#include "SimEvents.h"

#include <gio/gio.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

int call(GDBusConnection* bus, const char* method, GVariant* parameters)
{
  std::string error;
  GVariant* reply = callSim(bus, SimEvents::interfaceName, method, parameters, "()", error);
  if (reply == nullptr) {
    std::cerr << "camera-sim-ctl: " << error << std::endl;
    return 1;
  }
  g_variant_unref(reply);
  return 0;
}

int printEvents(GDBusConnection* bus)
{
  std::string error;
  GVariant* reply = callSim(bus, SimEvents::interfaceName, "Events", nullptr, "(as)", error);
  if (reply == nullptr) {
    std::cerr << "camera-sim-ctl: " << error << std::endl;
    return 1;
  }
  GVariantIter* lines = nullptr;
  g_variant_get(reply, "(as)", &lines);
  const gchar* line = nullptr;
  while (g_variant_iter_next(lines, "&s", &line))
    std::cout << line << "\n";
  g_variant_iter_free(lines);
  g_variant_unref(reply);
  return 0;
}

int setDelay(GDBusConnection* bus, const std::vector<std::string>& arguments)
{
  const std::string& text = arguments[0];
  char* end = nullptr;
  errno = 0;
  long ms = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || ms < INT_MIN || ms > INT_MAX) {
    std::cerr << "camera-sim-ctl: MS is a number of milliseconds, negative for never" << std::endl;
    return 2;
  }
  return call(bus, "SetDelay", g_variant_new("(i)", static_cast<gint32>(ms)));
}

int setStall(GDBusConnection* bus, const std::vector<std::string>& arguments)
{
  const std::string& text = arguments[0];
  char* end = nullptr;
  errno = 0;
  long ms = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || ms < 0 || ms > INT_MAX) {
    std::cerr << "camera-sim-ctl: MS is a number of milliseconds" << std::endl;
    return 2;
  }
  return call(bus, "SetStall", g_variant_new("(i)", static_cast<gint32>(ms)));
}

int setRefuse(GDBusConnection* bus, const std::vector<std::string>& arguments)
{
  const std::string& state = arguments[1];
  if (state != "on" && state != "off") {
    std::cerr << "camera-sim-ctl: event-refuse WHAT on|off" << std::endl;
    return 2;
  }
  return call(bus, "SetRefuse", g_variant_new("(sbs)", arguments[0].c_str(), state == "on", ""));
}

int setRefuseWith(GDBusConnection* bus, const std::vector<std::string>& arguments)
{
  return call(bus, "SetRefuse", g_variant_new("(sbs)", arguments[0].c_str(), TRUE, arguments[1].c_str()));
}

const CtlCommandRegistrar eventCommands({
    {"events", "", "recorded declare/complete/send/undeclare/release, one JSON object a line", 0,
     [](GDBusConnection* bus, const std::vector<std::string>&) { return printEvents(bus); }},
    {"event-delay", "MS", "completion delay of later declarations (default 50, negative: never)", 1,
     setDelay},
    {"event-stall", "MS", "the next declaration is answered MS milliseconds late", 1, setStall},
    {"event-refuse", "WHAT on|off", "WHAT: key, nicenames, mark, declare, send, undeclare", 2, setRefuse},
    {"event-refuse-with", "WHAT TEXT", "refuse WHAT with TEXT as the event system's message", 2,
     setRefuseWith},
});

} // namespace
