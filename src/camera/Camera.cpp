#include "camera/Camera.h"

#include "camera/CameraParameters.h"
#include "util/Failure.h"

#include <utility>

Camera::Camera(std::shared_ptr<CameraParameters> parameters) : parameters(std::move(parameters))
{
  const std::pair<const char*, std::string CameraInfo::*> fields[] = {
      {"Properties.System.SerialNumber", &CameraInfo::serialNumber},
      {"Properties.Firmware.Version", &CameraInfo::firmwareVersion},
      {"Brand.Brand", &CameraInfo::brand},
      {"Brand.ProdFullName", &CameraInfo::productFullName},
      {"Brand.ProdNbr", &CameraInfo::productNumber},
      {"Brand.ProdShortName", &CameraInfo::productShortName},
      {"Brand.ProdType", &CameraInfo::productType},
      {"Properties.System.Soc", &CameraInfo::soc},
  };
  for (const auto& [parameter, field] : fields) {
    info.*field = this->parameters->getVapixParameter(parameter, false, nullptr);
  }
  if (info.serialNumber.empty() || info.firmwareVersion.empty()) {
    throw Failure(Failure::Kind::Io, "Camera info reading failed.");
  }
}
