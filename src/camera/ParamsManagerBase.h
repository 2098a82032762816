#pragma once

#include <map>
#include <string>

// The form of change callback the platform parameter library calls: name, value, user
// data. The parameter manager always passes null user data.
using ParameterCallback = void (*)(const char* name, const char* value, void* userData);

// Orvane's view of the camera's parameter store: a cache of the application's own
// parameters with change callbacks, and reads and writes of any camera parameter through
// VAPIX. No operation throws; failures are logged and reported by the result.
class ParamsManagerBase {
public:
  virtual ~ParamsManagerBase() = default;

  // A copy of the cached values, keyed by short name ("LogLevel"). A copy, because the
  // main loop may update the cache while another thread reads it.
  virtual std::map<std::string, std::string> getParameters() = 0;

  // Reads the parameter from the platform and caches it. False (cache unchanged) when it
  // cannot be read.
  virtual bool addParameter(const std::string& name) = 0;

  // Registers `callback` for changes of a cached parameter with the platform.
  virtual bool registerCallback(const std::string& name, ParameterCallback callback) = 0;

  // Reads every cached parameter again and calls its callback for each value that differs
  // from the cached one. The cache itself is not changed.
  virtual void checkParameters() = 0;

  // Caches a reported change; `name` may be a full name ("root.Orvane.LogLevel"). Returns
  // true when the value changed; false also for a name that is not cached.
  virtual bool updateParameter(const std::string& name, const std::string& value) = 0;

  // Writes the cache as "name=value" lines, replacing the file's content.
  virtual void saveToFile(const std::string& path) = 0;

  // Writes every "name=value" line of the file to the camera through VAPIX.
  virtual void loadFromFile(const std::string& path) = 0;

  // The value of the first parameter listed for `name` through VAPIX, empty on failure.
  // `silent` suppresses the failure log; `ok`, when given, tells success.
  virtual std::string getVapixParameter(const std::string& name, bool silent, bool* ok) = 0;

  // Writes a camera parameter (full name such as "orvane.Version") through VAPIX.
  virtual bool setVapixParameter(const std::string& name, const std::string& value) = 0;
};
