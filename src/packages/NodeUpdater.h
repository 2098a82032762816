#pragma once

#include <string>

class CameraParameters;

// Installs the Node.js runtime shipped as tools/node.gz at a location (a directory path
// ending in "/"; on the SD card exactly when it contains "SD_DISK") and records the
// location in the "NodejsLocation" parameter.
namespace NodeUpdater {

// The bytes kept free on top of the runtime's uncompressed size.
constexpr long long spaceMargin = 3145728;

// Replaces location + "node" with the archive's content (mode 0755), deletes the archive
// and writes the location into "NodejsLocation" through `params`. Throws a Failure saying why
// when that fails, after removing location + "node" and emptying the
// parameter.
void update(CameraParameters& params, const std::string& location);

// Decompresses the archive into location + "node" (mode 0755) and deletes the archive.
// Throws a Failure when decompression fails.
void unpack(const std::string& location);

} // namespace NodeUpdater

// The start-up step: when an archive is present and a location is recorded, installs the
// archive there. False (logged) when that installation failed; true otherwise.
bool startupNodeUpdate(CameraParameters& params);
