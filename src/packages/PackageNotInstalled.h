#pragma once

#include <stdexcept>

// A change was asked of a package that is installed on neither storage.
class PackageNotInstalled : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};
