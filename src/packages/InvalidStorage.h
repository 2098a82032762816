#pragma once

#include <stdexcept>

// A package was to be installed on one storage while it is installed on the other.
class InvalidStorage : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};
