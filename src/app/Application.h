#pragma once

#include <glib.h>

// Runs the start-up sequence and then the GLib main loop. Returns 1 when a start-up step
// fails; otherwise the process ends through onTerminationSignal.
int runApplication(int argc, char** argv);

// GLib Unix-signal callback for SIGINT and SIGTERM: stops every package and exits with 0.
gboolean onTerminationSignal(gpointer userData);

// One-shot re-check of the application parameters.
gboolean onCheckParametersTimer(gpointer userData);

// Periodic start of every registered package that is not running.
gboolean onStartPackagesTimer(gpointer userData);
