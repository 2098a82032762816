#pragma once

#include "camera/ParameterCache.h"
#include "camera/PlatformHandles.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

class VapixAccess;

// The form of change callback the platform parameter library calls: name, value, user
// data. CameraParameters always passes null user data.
using ParameterCallback = void (*)(const char* name, const char* value, void* userData);

// Orvane's view of the camera's parameter store: a cache of the application's own
// parameters (read and watched through the platform parameter library) with change
// callbacks, and reads and writes of any camera parameter through VAPIX
// ("/axis-cgi/param.cgi"). A read or write that fails throws a Failure (kind Io; Internal
// for a callback on a parameter that is not cached) that says which parameter and why, for
// the caller to log. The platform calls must come from
// the main loop thread; the cache and the VAPIX operations may be used from any thread.
// The operations are virtual so that tests can stand in for the platform and VAPIX.
class CameraParameters {
public:
  // Nothing is read at construction.
  CameraParameters(std::string appName, std::shared_ptr<VapixAccess> vapixAccess);
  virtual ~CameraParameters() = default;

  // A copy of the cached values, keyed by short name ("LogLevel"). A copy, because the
  // main loop may update the cache while another thread reads it.
  virtual std::map<std::string, std::string> getParameters();

  // Reads the parameter from the platform and caches it; the cache is unchanged when it
  // cannot be read.
  virtual void addParameter(const std::string& name);

  // Registers `callback` for changes of a cached parameter with the platform.
  virtual void registerCallback(const std::string& name, ParameterCallback callback);

  // Reads every cached parameter again and calls its callback for each value that differs
  // from the cached one. The cache itself is not changed. Called from a timer of the main
  // loop, so it throws nothing: a parameter that cannot be read is logged and skipped.
  virtual void checkParameters();

  // Caches a reported change; `name` may be a full name ("root.Orvane.LogLevel"). Returns
  // true when the value changed; false also for a name that is not cached.
  virtual bool updateParameter(const std::string& name, const std::string& value);

  // Writes the cache as "name=value" lines, replacing the file's content.
  virtual void saveToFile(const std::string& path);

  // Writes every "name=value" line of the file to the camera through VAPIX; a line that
  // cannot be written is logged and the others are still written.
  virtual void loadFromFile(const std::string& path);

  // The value of the first parameter listed for `name` through VAPIX.
  virtual std::string getVapixParameter(const std::string& name);

  // Writes a camera parameter (full name such as "orvane.Version") through VAPIX.
  virtual void setVapixParameter(const std::string& name, const std::string& value);

  // Writes one of the application's own parameters, named without its group ("Version"),
  // through VAPIX as setVapixParameter does.
  void setApplicationParameter(const std::string& name, const std::string& value);

  // The application's parameter handle, opened on first use; the next call tries again
  // when the platform refuses.
  AXParameter* parameterHandle();

  // Reads one parameter of the application from the platform, trimmed.
  std::string getParameter(const std::string& name);

  // The value of the first "name=value" line of a VAPIX list answer, trimmed; none when the
  // body has no "=" or no newline after it.
  static std::optional<std::string> parseListValue(const std::string& body);

  // The form body of a VAPIX update of one parameter.
  static std::string updateBody(const std::string& name, const std::string& value);

protected:
  ParameterCache cache;

private:
  const std::string appName;
  std::shared_ptr<VapixAccess> vapixAccess;
  // Touched on the main loop thread only.
  std::map<std::string, ParameterCallback> callbacks;
  AXParameterPtr handle;
};
