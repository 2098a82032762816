#pragma once

#include "packages/PackageError.h"

// A package was to be installed on one storage while it is installed on the other.
class InvalidStorage : public PackageError {
public:
  using PackageError::PackageError;
};
