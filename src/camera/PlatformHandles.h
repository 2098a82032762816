#pragma once

#include <axsdk/axparameter.h>
#include <gio/gio.h>
#include <glib.h>

#include "util/CHandle.h"

#include <string>

// Owners for the GLib, GIO and parameter-library handles used by this folder.

using GErrorPtr = CHandle<GError, g_error_free>;
using GVariantPtr = CHandle<GVariant, g_variant_unref>;
using GDBusConnectionPtr = CHandle<GDBusConnection, g_object_unref>;
using GCharPtr = CHandle<gchar, g_free>;
using AXParameterPtr = CHandle<AXParameter, ax_parameter_free>;

// The message of a library error, or "unknown error" when the library gave none.
inline std::string errorMessage(const GErrorPtr& error)
{
  return error && error->message ? error->message : "unknown error";
}
