#pragma once

#include <string>

// What an operation that moves a package or its data is about to do, written into its own
// staging directory (see StagingDirectory) and made durable before the first move. A
// staging directory holding a record may hold the only copy of a package or its data: it
// is never deleted before the operation it describes has been completed (see
// PackageMoves and recoverInterruptedOperations).
struct IntentRecord {
  enum class Operation { Install, DataImport, Removal };

  Operation operation = Operation::Install;
  // The operation's staging directory, with its final "/"; not stored, it is where the
  // record lies.
  std::string work;
  // Install: the package's final directory. Data import: the package's local data
  // directory. Removal: the package directory. No final "/".
  std::string target;
  // Install: the directory of the earlier installation, on either storage; empty for a
  // first install. Unused otherwise.
  std::string old;
};

// Writes `record` into record.work and makes it, and the staging directory's own entry,
// durable. False when that failed; nothing may be moved then.
bool writeIntentRecord(const IntentRecord& record);

// Reads the record of the staging directory `work` (with its final "/") into `record`.
// False when there is none, or it is incomplete (the operation never began to move
// anything).
bool readIntentRecord(const std::string& work, IntentRecord& record);

// "install of /a/b", "data import into /a/b/localdata", "removal of /a/b": for log lines.
std::string describe(const IntentRecord& record);
