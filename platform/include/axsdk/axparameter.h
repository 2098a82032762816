#pragma once

/*
 * Parameter library of the camera platform: reads an application's parameters (and
 * camera-wide ones such as System.BoaPort) and reports changes of them.
 *
 * Names without a dot are the application's own parameters ("LogLevel"); names with a
 * dot are full names ("System.BoaPort", "orvane.LogLevel"), "root." optional.
 * Change callbacks run on the GLib default main context, whichever thread registered
 * them, and receive the full name as the platform spells it (root.Group.Name).
 */

#include <glib.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _AXParameter AXParameter;

typedef void (*AXParameterCallback)(const gchar* name, const gchar* value, gpointer user_data);

/* A handle for the parameters of app_name; NULL with *error set when the platform
 * cannot be reached. */
AXParameter* ax_parameter_new(const gchar* app_name, GError** error);

/* Stores a newly allocated copy of the parameter's value in *value (free with g_free);
 * FALSE with *error set when the parameter does not exist or cannot be read. */
gboolean ax_parameter_get(AXParameter* handle, const gchar* name, gchar** value, GError** error);

/* Calls cb(full name, new value, user_data) whenever the parameter changes; FALSE with
 * *error set when the parameter does not exist. A second registration for the same name
 * replaces the first. */
gboolean ax_parameter_register_callback(AXParameter* handle, const gchar* name, AXParameterCallback cb,
                                        gpointer user_data, GError** error);

/* Releases the handle; no callback registered through it runs afterwards. NULL is ignored. */
void ax_parameter_free(AXParameter* handle);

#ifdef __cplusplus
}
#endif
