#include "packages/PackageName.h"

bool isValidPackageName(const std::string& name)
{
  if (name.empty()) {
    return false;
  }
  for (const char c : name) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '-' && c != '_') {
      return false;
    }
  }
  return true;
}
