#pragma once
/* The camera platform's event library: declare camera events, send them and withdraw
 * them. Functions report failures through a GError with a readable message. */

#include <glib.h>

G_BEGIN_DECLS

typedef struct _AXEventHandler AXEventHandler;
typedef struct _AXEventKeyValueSet AXEventKeyValueSet;
typedef struct _AXEvent AXEvent;

typedef enum {
  AX_VALUE_TYPE_INT = 0,
  AX_VALUE_TYPE_BOOL = 1,
  AX_VALUE_TYPE_DOUBLE = 2,
  AX_VALUE_TYPE_STRING = 3
} AXEventValueType;

/* Called once per declaration when the event system has accepted it, on the GLib
 * default main context, whichever thread declared. */
typedef void (*AXDeclarationCompleteCallback)(guint declaration, gpointer user_data);

/* A handler owns the declarations made through it. Freeing it withdraws those still
 * pending; a completion already being delivered when it is freed may still run. */
AXEventHandler* ax_event_handler_new(void);
void ax_event_handler_free(AXEventHandler* handler);

/* A set of keys, each with an optional namespace (NULL for none), a typed value (value
 * points at a gint, a gboolean, a gdouble or is the string itself; NULL for no value),
 * optional nice names and a mark as source or data. Adding a key that is already in the
 * set (same key and namespace) replaces its value. */
AXEventKeyValueSet* ax_event_key_value_set_new(void);
void ax_event_key_value_set_free(AXEventKeyValueSet* key_value_set);
gboolean ax_event_key_value_set_add_key_value(AXEventKeyValueSet* key_value_set, const gchar* key,
                                              const gchar* name_space, gconstpointer value,
                                              AXEventValueType value_type, GError** error);
gboolean ax_event_key_value_set_add_nice_names(AXEventKeyValueSet* key_value_set, const gchar* key,
                                               const gchar* name_space, const gchar* key_nice_name,
                                               const gchar* value_nice_name, GError** error);
gboolean ax_event_key_value_set_mark_as_source(AXEventKeyValueSet* key_value_set, const gchar* key,
                                               const gchar* name_space, GError** error);
gboolean ax_event_key_value_set_mark_as_data(AXEventKeyValueSet* key_value_set, const gchar* key,
                                             const gchar* name_space, GError** error);

/* Declares the event described by key_value_set. On success the declaration number is
 * written to *declaration at once, and callback(declaration, user_data) follows later. */
gboolean ax_event_handler_declare(AXEventHandler* handler, AXEventKeyValueSet* key_value_set,
                                  gboolean stateless, guint* declaration,
                                  AXDeclarationCompleteCallback callback, gpointer user_data, GError** error);

/* An event carrying a copy of key_value_set (which may be freed afterwards) and
 * time_stamp (NULL: the time it is sent). */
AXEvent* ax_event_new2(AXEventKeyValueSet* key_value_set, GDateTime* time_stamp);
void ax_event_free(AXEvent* event);

/* Sends event under a completed declaration of handler. */
gboolean ax_event_handler_send_event(AXEventHandler* handler, guint declaration, AXEvent* event,
                                     GError** error);

/* Withdraws a declaration of handler. */
gboolean ax_event_handler_undeclare(AXEventHandler* handler, guint declaration, GError** error);

G_END_DECLS
