#include "packages/IntentRecord.h"

#include "util/FileSync.h"
#include "util/FileUtils.h"
#include "util/StringUtils.h"

#include <vector>

namespace {

constexpr const char* fileName = "intent";

const char* operationName(IntentRecord::Operation operation)
{
  switch (operation) {
  case IntentRecord::Operation::Install:
    return "install";
  case IntentRecord::Operation::DataImport:
    return "import";
  case IntentRecord::Operation::Removal:
    return "remove";
  }
  return "";
}

} // namespace

bool writeIntentRecord(const IntentRecord& record)
{
  // One line each, so that a path (which never holds a newline here) needs no escaping. The
  // last line tells a whole record from one cut short.
  const std::string text =
      std::string(operationName(record.operation)) + "\n" + record.target + "\n" + record.old + "\nend\n";
  std::string directory = record.work;
  while (directory.size() > 1 && directory.back() == '/') {
    directory.pop_back();
  }
  // writeFile syncs the record and the work directory; the work directory's entry in the
  // staging directory was made by mkdtemp and is synced here.
  return FileUtils::writeFile(record.work + fileName, text) &&
         FileSync::syncPath(directory.substr(0, directory.rfind('/') + 1));
}

bool readIntentRecord(const std::string& work, IntentRecord& record)
{
  const std::vector<std::string> lines = StringUtils::split(FileUtils::readFile(work + fileName), '\n');
  if (lines.size() != 4 || lines[3] != "end" || lines[1].empty()) {
    return false;
  }
  for (IntentRecord::Operation operation :
       {IntentRecord::Operation::Install, IntentRecord::Operation::DataImport,
        IntentRecord::Operation::Removal}) {
    if (lines[0] == operationName(operation)) {
      record.operation = operation;
      record.work = work;
      record.target = lines[1];
      record.old = lines[2];
      return true;
    }
  }
  return false;
}

std::string describe(const IntentRecord& record)
{
  switch (record.operation) {
  case IntentRecord::Operation::Install:
    return "install of " + record.target;
  case IntentRecord::Operation::DataImport:
    return "data import into " + record.target;
  case IntentRecord::Operation::Removal:
    return "removal of " + record.target;
  }
  return std::string();
}
