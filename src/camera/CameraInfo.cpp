#include "camera/CameraInfo.h"

#include "camera/CameraParameters.h"
#include "util/Failure.h"
#include "util/Logger.h"

#include <utility>

CameraInfo readCameraInfo(CameraParameters& parameters)
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
  CameraInfo info;
  for (const auto& [parameter, field] : fields) {
    try {
      info.*field = parameters.getVapixParameter(parameter);
    } catch (const Failure& failure) {
      // Only the serial number and the firmware are needed; the others stay empty.
      Logger::log(failure.what(), LogLevel::Error);
    }
  }
  if (info.serialNumber.empty() || info.firmwareVersion.empty()) {
    throw Failure(Failure::Kind::Io, "Camera info reading failed.");
  }
  return info;
}
