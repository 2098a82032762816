#pragma once

#include "util/UniqueFd.h"

#include <cstdint>
#include <string>

// The static files of a package's web pages, below the "html" directory of the package.
namespace UiFile {

// A URL path such as "/package/myapp/js/app.js" taken apart. `valid` is false when no piece
// is "package" or fewer than two pieces follow it.
struct Route {
  bool valid = false;
  std::string packageName;
  // The pieces after the package name joined with "/".
  std::string filePath;
};
Route route(const std::string& url);

// True when `filePath` is a plain relative path: not empty, no NUL in it, and no piece of it
// empty (a leading, doubled or final "/") or "..".
bool isPlainRelativePath(const std::string& filePath);

// An open regular file and its size.
struct OpenFile {
  UniqueFd fd;
  uint64_t size = 0;
};

// Opens htmlDirectory + "/" + filePath read-only when `filePath` is a plain relative path
// and the file it names, with every symbolic link resolved, is a regular file inside
// `htmlDirectory` (itself resolved). False, with nothing open, otherwise, also when the file
// exists but cannot be opened.
bool open(const std::string& htmlDirectory, const std::string& filePath, OpenFile& file);

} // namespace UiFile
