#pragma once

#include <memory>
#include <string>

class CameraParameters;

// The identity of the device, read once through VAPIX at construction. A field is empty
// when its parameter could not be read.
struct CameraInfo {
  std::string serialNumber;
  std::string brand;
  std::string productFullName;
  std::string productNumber;
  std::string productShortName;
  std::string productType;
  std::string firmwareVersion;
  std::string soc;
};

class Camera {
public:
  // Reads every field. Throws an I/O Failure "Camera info reading failed." when the
  // serial number or the firmware version is empty.
  explicit Camera(std::shared_ptr<CameraParameters> parameters);

  // Never changes after construction.
  const CameraInfo& getInfo() const { return info; }

private:
  std::shared_ptr<CameraParameters> parameters;
  CameraInfo info;
};
