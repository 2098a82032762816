#pragma once

#include <string>

// A new directory of its own inside the staging directory of one package root (see
// PackagePaths::stagingDirectory), deleted with everything in it when its owner goes. What
// is built or set aside there reaches the packages of that root, or comes back from them, by
// rename.
class StagingDirectory {
public:
  // Creates the directory (mode 0700). Throws an I/O Failure with `failureMessage` as its
  // reason when the root's staging directory or the new directory cannot be created.
  StagingDirectory(const std::string& packageRoot, const std::string& failureMessage);
  // Deletes the tree unless kept; a failure is logged, and start-up clears the rest.
  ~StagingDirectory();

  StagingDirectory(const StagingDirectory&) = delete;
  StagingDirectory& operator=(const StagingDirectory&) = delete;

  // The directory, with a final "/".
  const std::string& path() const { return directory; }

  // Leaves the directory and its content in place: it holds something that must not be
  // deleted now.
  void keep() { kept = true; }

private:
  std::string directory;
  bool kept = false;
};
