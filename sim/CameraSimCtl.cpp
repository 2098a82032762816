// camera-sim-ctl: drives camera-sim from a shell. Words of other services register
// themselves through CtlCommandRegistrar (see CtlCommand.h).

#include "CtlCommand.h"
#include "SimBus.h"

#include <gio/gio.h>

#include <iostream>
#include <string>
#include <vector>

namespace {

int printString(GDBusConnection* bus, const char* interfaceName, const char* method, GVariant* parameters)
{
  std::string error;
  GVariant* reply = callSim(bus, interfaceName, method, parameters, "(s)", error);
  if (reply == nullptr) {
    std::cerr << "camera-sim-ctl: " << error << std::endl;
    return 1;
  }
  const gchar* text = nullptr;
  g_variant_get(reply, "(&s)", &text);
  std::cout << text << std::endl;
  g_variant_unref(reply);
  return 0;
}

int callOnly(GDBusConnection* bus, const char* interfaceName, const char* method, GVariant* parameters)
{
  std::string error;
  GVariant* reply = callSim(bus, interfaceName, method, parameters, nullptr, error);
  if (reply == nullptr) {
    std::cerr << "camera-sim-ctl: " << error << std::endl;
    return 1;
  }
  g_variant_unref(reply);
  return 0;
}

int listParameters(GDBusConnection* bus)
{
  std::string error;
  GVariant* reply = callSim(bus, SimBus::parametersInterface, "List", nullptr, "(a(ss))", error);
  if (reply == nullptr) {
    std::cerr << "camera-sim-ctl: " << error << std::endl;
    return 1;
  }
  GVariantIter* entries = nullptr;
  g_variant_get(reply, "(a(ss))", &entries);
  const gchar* name = nullptr;
  const gchar* value = nullptr;
  while (g_variant_iter_next(entries, "(&s&s)", &name, &value)) {
    std::cout << name << "=" << value << "\n";
  }
  g_variant_iter_free(entries);
  g_variant_unref(reply);
  return 0;
}

int vapixFail(GDBusConnection* bus, const std::vector<std::string>& arguments)
{
  unsigned status = 0;
  unsigned count = 0;
  if (!parseUnsigned(arguments[0], status) || !parseUnsigned(arguments[1], count)) {
    std::cerr << "camera-sim-ctl: STATUS and COUNT are numbers" << std::endl;
    return 2;
  }
  return callOnly(bus, SimBus::controlInterface, "VapixFail", g_variant_new("(uu)", status, count));
}

const CtlCommandRegistrar parameterCommands({
    {"get", "NAME", "a parameter's value (full name, any letter case)", 1,
     [](GDBusConnection* bus, const std::vector<std::string>& a) {
       return printString(bus, SimBus::parametersInterface, "Get", g_variant_new("(s)", a[0].c_str()));
     }},
    {"set", "NAME VALUE", "as a VAPIX update would: store and notify", 2,
     [](GDBusConnection* bus, const std::vector<std::string>& a) {
       return callOnly(bus, SimBus::parametersInterface, "Set",
                       g_variant_new("(ss)", a[0].c_str(), a[1].c_str()));
     }},
    {"list", "", "every parameter, one Name=Value a line", 0,
     [](GDBusConnection* bus, const std::vector<std::string>&) { return listParameters(bus); }},
    {"credentials", "", "the user:password that VAPIX accepts now", 0,
     [](GDBusConnection* bus, const std::vector<std::string>&) {
       return printString(bus, SimBus::controlInterface, "Credentials", nullptr);
     }},
    {"renew-credentials", "", "issue new credentials; the old ones get 401", 0,
     [](GDBusConnection* bus, const std::vector<std::string>&) {
       return printString(bus, SimBus::controlInterface, "RenewCredentials", nullptr);
     }},
    {"vapix-fail", "STATUS COUNT", "the next COUNT VAPIX requests answer STATUS", 2, vapixFail},
});

int usage()
{
  std::cerr << "usage: camera-sim-ctl WORD [ARGUMENTS]\n";
  for (const auto& command : ctlCommands()) {
    std::string synopsis = command.word + (command.arguments.empty() ? "" : " " + command.arguments);
    std::cerr << "  " << synopsis << std::string(synopsis.size() < 30 ? 30 - synopsis.size() : 1, ' ')
              << command.help << "\n";
  }
  return 2;
}

} // namespace

int main(int argc, char** argv)
{
  if (argc < 2) {
    return usage();
  }
  std::string word = argv[1];
  std::vector<std::string> arguments(argv + 2, argv + argc);
  for (const auto& command : ctlCommands()) {
    if (command.word != word) {
      continue;
    }
    if (arguments.size() != command.arity) {
      return usage();
    }
    GError* gerror = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &gerror);
    if (bus == nullptr) {
      std::cerr << "camera-sim-ctl: no system bus: " << gerror->message << std::endl;
      g_clear_error(&gerror);
      return 1;
    }
    int status = command.run(bus, arguments);
    g_object_unref(bus);
    return status;
  }
  return usage();
}
