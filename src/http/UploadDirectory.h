#pragma once

#include <string>

// Whether `url` is one of the two uploads, whose bodies stream to files instead of memory.
bool isUploadUrl(const std::string& url);

// Makes the FLASH package root exist (one level, mode 0755). True when it exists afterwards.
bool ensureFlashPackageDirectory();

// The directory that receives the files uploaded to `url`, made to exist: for a package
// install the staging directory of the package root of `storage` ("FLASH", anything else
// meaning the SD card); for other uploads (data archives) the flash root's.
// Empty, with the answer's message in `error`, when that storage is not available.
std::string uploadDirectoryFor(const std::string& url, const std::string& storage, std::string& error);
