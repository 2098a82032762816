#pragma once

#include <string>

class CameraParameters;

// The identity of the device. A field is empty when its parameter could not be read.
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

// Reads every field through VAPIX, in one pass. Throws an I/O Failure "Camera info
// reading failed." when the serial number or the firmware version is empty.
CameraInfo readCameraInfo(CameraParameters& parameters);
