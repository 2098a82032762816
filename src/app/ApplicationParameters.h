#pragma once

#include <glib.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

class CameraParameters;

using ParameterChange = std::pair<std::string, std::string>;

// The short names of the application's parameters, in the order they are registered.
std::vector<std::string> applicationParameterNames();

// Makes `params` the cache that reported changes are applied to, and
// `onConfigurationsChanged` what runs when "PackageConfigurations" got a new value; until
// then, and after stopWatchingParameterChanges, changes are dropped. Main loop thread.
void watchParameterChanges(CameraParameters& params, std::function<void()> onConfigurationsChanged);
// Drops a queued change and its timer, and forgets the cache and the action.
void stopWatchingParameterChanges();

// Change callback of every application parameter (main loop thread): logs the change,
// queues it and re-arms a 500 ms timer, so that a burst of changes is applied together.
void onParameterChanged(const char* name, const char* value, void* userData);

// GLib timeout callback: applies the queued changes to the parameter cache and reconciles
// the packages when "PackageConfigurations" changed. Runs once per arming.
gboolean processChangedParameters(gpointer userData);

// Stores each change in the cache, in order. True when a parameter whose name contains
// "PackageConfigurations" got a new value.
bool updateChangedParameters(CameraParameters& params, const std::vector<ParameterChange>& changes);
