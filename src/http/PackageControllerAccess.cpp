#include "http/PackageControllerAccess.h"

#include "app/AppContext.h"
#include "packages/PackageController.h"

PackageController& packageController()
{
  static PackageController standIn;
  const auto& controller = AppContext::instance().packageController;
  return controller ? *controller : standIn;
}
