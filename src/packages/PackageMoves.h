#pragma once

#include "packages/IntentRecord.h"

#include <memory>
#include <string>
#include <vector>

class StagingDirectory;

// The moves of one operation on a package's files (install, data import, removal), as its
// intent record describes them. Every step first looks at what is where and does only what
// is left, so that `complete` finishes the operation whether it runs for the first time or
// after a crash at any point of an earlier run. New trees are synced before the record is
// written (see FileSync::syncTree); the moves themselves are synced before `complete`
// returns. One object per operation, on the thread that runs it.
class PackageMoves {
public:
  explicit PackageMoves(IntentRecord record);
  ~PackageMoves();
  PackageMoves(const PackageMoves&) = delete;
  PackageMoves& operator=(const PackageMoves&) = delete;

  // Brings the package (install, removal) or its data (import) wholly into its new state
  // and makes that durable. Throws a Failure saying which step failed; the record's staging directory then
  // still holds everything.
  void complete();

  // After `complete` failed in this object: puts the earlier state back (the earlier
  // installation with its data, the earlier local data). True when that state is back, or
  // the operation never got past the point where that matters. False leaves the record's
  // staging directory to be completed at the next start.
  bool rollBack();

  // True once the operation's new state is in place (whether or not it is synced).
  bool committed() const;

  // After `complete` of an install in this object: the earlier installation's tree (its
  // local data carried over), set aside in a staging directory of its storage that is
  // deleted with this object unless the tree is moved on; empty when there was none.
  std::string previousTree() const;

private:
  void completeInstall();
  void completeDataImport();
  void completeRemoval();
  bool rollBackInstall();
  bool rollBackDataImport();

  const IntentRecord record;
  // Entries of the archive's local data moved into the carried-over data, for rollBack.
  std::vector<std::string> merged;
  // Whether this object moved the earlier local data into the new tree.
  bool dataCarried = false;
  // Where an earlier installation on the other storage went once the new one was in place.
  std::unique_ptr<StagingDirectory> elsewhere;
};
