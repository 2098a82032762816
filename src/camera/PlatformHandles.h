#pragma once

#include <axsdk/axparameter.h>
#include <gio/gio.h>
#include <glib.h>

#include <memory>
#include <string>

// Owners for the GLib, GIO and parameter-library handles used by this folder.

struct GErrorDeleter {
  void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct GVariantDeleter {
  void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantDeleter>;

struct GObjectDeleter {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using GDBusConnectionPtr = std::unique_ptr<GDBusConnection, GObjectDeleter>;

struct GFreeDeleter {
  void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

struct AXParameterDeleter {
  void operator()(AXParameter* handle) const { ax_parameter_free(handle); }
};
using AXParameterPtr = std::unique_ptr<AXParameter, AXParameterDeleter>;

// The message of a library error, or "unknown error" when the library gave none.
inline std::string errorMessage(const GErrorPtr& error)
{
  return error && error->message ? error->message : "unknown error";
}
