#pragma once

#include <string>

// True when `name` is a usable package name: not empty, and only ASCII letters, digits, "-"
// and "_". Such a name is safe as one path component and inside a quoted shell word.
bool isValidPackageName(const std::string& name);
