#pragma once

#include "camera/ParameterCache.h"
#include "camera/ParamsManagerBase.h"
#include "camera/PlatformHandles.h"

#include <memory>
#include <string>

class VapixAccess;

// The parameter manager over the platform parameter library (the application's own
// parameters: read and watched) and VAPIX ("/axis-cgi/param.cgi": every write, and reads of
// camera-wide parameters). The platform calls must come from the main loop thread; the
// cache and the VAPIX operations may be used from any thread.
class ParamsManager2 : public ParamsManagerBase {
public:
  // Nothing is read at construction.
  ParamsManager2(std::string appName, std::shared_ptr<VapixAccess> vapixAccess);

  std::map<std::string, std::string> getParameters() override;
  bool addParameter(const std::string& name) override;
  bool registerCallback(const std::string& name, ParameterCallback callback) override;
  void checkParameters() override;
  bool updateParameter(const std::string& name, const std::string& value) override;
  void saveToFile(const std::string& path) override;
  void loadFromFile(const std::string& path) override;
  std::string getVapixParameter(const std::string& name, bool silent, bool* ok) override;
  bool setVapixParameter(const std::string& name, const std::string& value) override;

  // The application's parameter handle, opened on first use; null (logged) when the
  // platform refuses, in which case the next call tries again.
  AXParameter* parameterHandle();

  // Reads one parameter of the application from the platform, trimmed. Empty with `ok`
  // false when it cannot be read.
  std::string getParameter(const std::string& name, bool& ok);

  // The value of the first "name=value" line of a VAPIX list answer, trimmed. False when
  // the body has no "=" or no newline after it.
  static bool parseListValue(const std::string& body, std::string& value);

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
