#include "axsdk/axparameter.h"

#include "SimBus.h"

#include <gio/gio.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int callTimeoutMs = 5000;

GQuark errorQuark()
{
  return g_quark_from_static_string("ax-parameter-error-quark");
}

std::string lowered(std::string text)
{
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string withoutRoot(const std::string& name)
{
  return lowered(name.substr(0, 5)) == "root." ? name.substr(5) : name;
}

// A short name belongs to the application's own group; a dotted one is already full.
std::string fullName(const std::string& appName, const std::string& name)
{
  std::string bare = withoutRoot(name);
  return bare.find('.') == std::string::npos ? appName + "." + bare : bare;
}

struct Registration {
  std::string key; // full name, lower case
  AXParameterCallback callback;
  gpointer userData;
};

// Shared between a handle and the notifications still queued for the main context, so
// that freeing the handle stops them. Recursive: a callback may register another one.
struct Watchers {
  std::recursive_mutex mutex;
  bool alive = true;
  std::vector<Registration> registrations;
};

struct Dispatch {
  std::shared_ptr<Watchers> watchers;
  std::string name;
  std::string value;
};

gboolean dispatchOnMainContext(gpointer data)
{
  auto* dispatch = static_cast<Dispatch*>(data);
  std::lock_guard<std::recursive_mutex> lock(dispatch->watchers->mutex);
  if (!dispatch->watchers->alive) {
    return G_SOURCE_REMOVE;
  }
  std::string key = lowered(withoutRoot(dispatch->name));
  // Copied: a callback may register further callbacks and so reallocate the list.
  std::vector<Registration> registrations = dispatch->watchers->registrations;
  for (const Registration& registration : registrations) {
    if (registration.key == key && dispatch->watchers->alive) {
      registration.callback(dispatch->name.c_str(), dispatch->value.c_str(), registration.userData);
    }
  }
  return G_SOURCE_REMOVE;
}

void onChangedSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                     GVariant* parameters, gpointer userData)
{
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ss)"))) {
    return;
  }
  const gchar* name = nullptr;
  const gchar* value = nullptr;
  g_variant_get(parameters, "(&s&s)", &name, &value);
  auto* dispatch = new Dispatch{*static_cast<std::shared_ptr<Watchers>*>(userData), name, value};
  // The signal arrives in the context of the registering thread; callbacks belong to
  // the default context whichever thread that was.
  g_main_context_invoke_full(nullptr, G_PRIORITY_DEFAULT, dispatchOnMainContext, dispatch,
                             [](gpointer data) { delete static_cast<Dispatch*>(data); });
}

} // namespace

struct _AXParameter {
  std::string appName;
  GDBusConnection* bus = nullptr;
  guint subscription = 0;
  std::shared_ptr<Watchers> watchers = std::make_shared<Watchers>();
};

extern "C" {

AXParameter* ax_parameter_new(const gchar* app_name, GError** error)
{
  if (app_name == nullptr || *app_name == '\0') {
    g_set_error(error, errorQuark(), 1, "No application name given");
    return nullptr;
  }
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, error);
  if (bus == nullptr) {
    return nullptr;
  }
  auto* handle = new AXParameter;
  handle->appName = app_name;
  handle->bus = bus;
  return handle;
}

gboolean ax_parameter_get(AXParameter* handle, const gchar* name, gchar** value, GError** error)
{
  if (handle == nullptr || name == nullptr || value == nullptr) {
    g_set_error(error, errorQuark(), 1, "Invalid argument");
    return FALSE;
  }
  GVariant* reply = g_dbus_connection_call_sync(
      handle->bus, SimBus::busName, SimBus::objectPath, SimBus::parametersInterface, "Get",
      g_variant_new("(s)", fullName(handle->appName, name).c_str()), G_VARIANT_TYPE("(s)"),
      G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, error);
  if (reply == nullptr) {
    if (error != nullptr && *error != nullptr) {
      g_dbus_error_strip_remote_error(*error);
    }
    return FALSE;
  }
  g_variant_get(reply, "(s)", value);
  g_variant_unref(reply);
  return TRUE;
}

gboolean ax_parameter_register_callback(AXParameter* handle, const gchar* name, AXParameterCallback cb,
                                        gpointer user_data, GError** error)
{
  if (handle == nullptr || name == nullptr || cb == nullptr) {
    g_set_error(error, errorQuark(), 1, "Invalid argument");
    return FALSE;
  }
  gchar* current = nullptr;
  if (!ax_parameter_get(handle, name, &current, error)) {
    return FALSE;
  }
  g_free(current);

  std::string key = lowered(fullName(handle->appName, name));
  std::lock_guard<std::recursive_mutex> lock(handle->watchers->mutex);
  auto& registrations = handle->watchers->registrations;
  registrations.erase(std::remove_if(registrations.begin(), registrations.end(),
                                     [&key](const Registration& r) { return r.key == key; }),
                      registrations.end());
  registrations.push_back({key, cb, user_data});
  if (handle->subscription == 0) {
    handle->subscription = g_dbus_connection_signal_subscribe(
        handle->bus, SimBus::busName, SimBus::parametersInterface, "Changed", SimBus::objectPath, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, onChangedSignal, new std::shared_ptr<Watchers>(handle->watchers),
        [](gpointer data) { delete static_cast<std::shared_ptr<Watchers>*>(data); });
  }
  return TRUE;
}

void ax_parameter_free(AXParameter* handle)
{
  if (handle == nullptr) {
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(handle->watchers->mutex);
    handle->watchers->alive = false;
    handle->watchers->registrations.clear();
  }
  if (handle->subscription != 0) {
    g_dbus_connection_signal_unsubscribe(handle->bus, handle->subscription);
  }
  g_object_unref(handle->bus);
  delete handle;
}

} // extern "C"
