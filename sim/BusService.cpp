#include "BusService.h"

#include "SimBus.h"

#include <exception>
#include <iostream>

namespace BusService {

namespace {

const char* const simXml = R"xml(
<node>
  <interface name="dev.orvane.CameraSim.Parameters">
    <method name="Get"><arg type="s" name="name" direction="in"/><arg type="s" name="value" direction="out"/></method>
    <method name="Set"><arg type="s" name="name" direction="in"/><arg type="s" name="value" direction="in"/></method>
    <method name="List"><arg type="a(ss)" name="parameters" direction="out"/></method>
    <signal name="Changed"><arg type="s" name="name"/><arg type="s" name="value"/></signal>
  </interface>
  <interface name="dev.orvane.CameraSim.Control">
    <method name="Credentials"><arg type="s" name="credentials" direction="out"/></method>
    <method name="RenewCredentials"><arg type="s" name="credentials" direction="out"/></method>
    <method name="VapixFail"><arg type="u" name="status" direction="in"/><arg type="u" name="count" direction="in"/></method>
  </interface>
</node>)xml";

const char* const credentialsXml = R"xml(
<node>
  <interface name="com.axis.HTTPConf1.VAPIXServiceAccounts1">
    <method name="GetCredentials"><arg type="s" name="username" direction="in"/><arg type="s" name="credentials" direction="out"/></method>
  </interface>
</node>)xml";

void returnString(GDBusMethodInvocation* invocation, const std::string& text)
{
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", text.c_str()));
}

void handleParameters(CameraSim& sim, const std::string& method, GVariant* parameters,
                      GDBusMethodInvocation* invocation)
{
  if (method == "Get") {
    const gchar* name = nullptr;
    g_variant_get(parameters, "(&s)", &name);
    if (auto value = sim.store.get(name)) {
      returnString(invocation, *value);
    } else {
      g_dbus_method_invocation_return_dbus_error(
          invocation, SimBus::unknownParameterError,
          (std::string("Parameter ") + name + " is not declared").c_str());
    }
  } else if (method == "Set") {
    const gchar* name = nullptr;
    const gchar* value = nullptr;
    g_variant_get(parameters, "(&s&s)", &name, &value);
    auto declared = sim.store.set(name, value);
    if (!declared) {
      g_dbus_method_invocation_return_dbus_error(
          invocation, SimBus::unknownParameterError,
          (std::string("Parameter ") + name + " is not declared").c_str());
      return;
    }
    sim.announce({{*declared, value}});
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (method == "List") {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(ss)"));
    for (const auto& [name, value] : sim.store.all()) {
      g_variant_builder_add(&builder, "(ss)", name.c_str(), value.c_str());
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(ss))", &builder));
  }
}

void handleControl(CameraSim& sim, const std::string& method, GVariant* parameters,
                   GDBusMethodInvocation* invocation)
{
  if (method == "Credentials") {
    returnString(invocation, sim.credentials.issue(Credentials::defaultUser));
  } else if (method == "RenewCredentials") {
    std::string renewed = sim.credentials.renew();
    std::cerr << "credentials: renewed" << std::endl;
    returnString(invocation, renewed);
  } else if (method == "VapixFail") {
    guint32 status = 0;
    guint32 count = 0;
    g_variant_get(parameters, "(uu)", &status, &count);
    if (status < 100 || status > 599) {
      g_dbus_method_invocation_return_dbus_error(invocation, SimBus::invalidArgumentError,
                                                 "The status must be an HTTP status from 100 to 599");
      return;
    }
    sim.faults.arm(status, count);
    std::cerr << "vapix: the next " << count << " requests answer " << status << std::endl;
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }
}

void onSimMethod(GDBusConnection*, const gchar*, const gchar*, const gchar* interfaceName,
                 const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                 gpointer userData)
{
  auto& sim = *static_cast<CameraSim*>(userData);
  try {
    if (g_strcmp0(interfaceName, SimBus::parametersInterface) == 0) {
      handleParameters(sim, method, parameters, invocation);
    } else {
      handleControl(sim, method, parameters, invocation);
    }
  } catch (const std::exception& e) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed", e.what());
  }
}

void onCredentialsMethod(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                         GVariant* parameters, GDBusMethodInvocation* invocation, gpointer userData)
{
  auto& sim = *static_cast<CameraSim*>(userData);
  try {
    const gchar* user = nullptr;
    g_variant_get(parameters, "(&s)", &user);
    std::string account = *user == '\0' ? Credentials::defaultUser : user;
    returnString(invocation, sim.credentials.issue(account));
  } catch (const std::exception& e) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed", e.what());
  }
}

bool registerObject(GDBusConnection* bus, const char* xml, const char* path,
                    GDBusInterfaceMethodCallFunc handler, CameraSim& sim, std::string& error)
{
  GError* gerror = nullptr;
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(xml, &gerror);
  bool ok = node != nullptr;
  const GDBusInterfaceVTable vtable = {handler, nullptr, nullptr, {nullptr}};
  for (int i = 0; ok && node->interfaces[i] != nullptr; ++i) {
    ok = g_dbus_connection_register_object(bus, path, node->interfaces[i], &vtable, &sim, nullptr, &gerror) !=
         0;
  }
  if (!ok) {
    error = gerror != nullptr ? gerror->message : "cannot register " + std::string(path);
    g_clear_error(&gerror);
  }
  if (node != nullptr) {
    g_dbus_node_info_unref(node);
  }
  return ok;
}

} // namespace

bool registerParameterService(GDBusConnection* bus, CameraSim& sim, std::string& error)
{
  return registerObject(bus, simXml, SimBus::objectPath, onSimMethod, sim, error);
}

bool registerCredentialsService(GDBusConnection* bus, CameraSim& sim, std::string& error)
{
  return registerObject(bus, credentialsXml, SimBus::credentialsObjectPath, onCredentialsMethod, sim, error);
}

bool ownName(GDBusConnection* bus, const char* name, std::string& error)
{
  constexpr guint32 doNotQueue = 4;
  constexpr guint32 primaryOwner = 1;
  GError* gerror = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
      g_variant_new("(su)", name, doNotQueue), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
      &gerror);
  if (reply == nullptr) {
    error = std::string("cannot own ") + name + ": " + gerror->message;
    g_clear_error(&gerror);
    return false;
  }
  guint32 result = 0;
  g_variant_get(reply, "(u)", &result);
  g_variant_unref(reply);
  if (result != primaryOwner) {
    error = std::string(name) + " is owned by another process";
    return false;
  }
  return true;
}

} // namespace BusService
