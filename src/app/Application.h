#pragma once

#include <glib.h>

// Runs the start-up sequence and then the GLib main loop until SIGINT or SIGTERM; then
// stops, in this order, the WebSocket server, the HTTP server and every package, and
// returns 0. Returns 1 when a start-up step fails, after stopping what had been started.
int runApplication(int argc, char** argv);
