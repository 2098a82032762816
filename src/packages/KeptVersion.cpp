#include "packages/KeptVersion.h"

#include "packages/PackagePaths.h"
#include "util/FileSync.h"
#include "util/FileUtils.h"
#include "util/Json.h"
#include "util/Logger.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace KeptVersion {

namespace {

constexpr size_t maxRecordBytes = 64 * 1024;

std::string directoryOf(const std::string& packageRoot, const std::string& name)
{
  return PackagePaths::keptDirectory(packageRoot) + name + "/";
}

std::string recordText(const ProbationRecord& record)
{
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("from");
  writer.String(record.fromVersion.c_str(), static_cast<rapidjson::SizeType>(record.fromVersion.size()));
  writer.Key("to");
  writer.String(record.toVersion.c_str(), static_cast<rapidjson::SizeType>(record.toVersion.size()));
  writer.Key("started");
  writer.Int64(record.startedMs);
  writer.Key("until");
  writer.Int64(record.untilMs);
  writer.Key("data");
  writer.Bool(record.dataKept);
  writer.EndObject();
  return buffer.GetString();
}

} // namespace

std::optional<Failure> keep(const std::string& packageRoot, ProbationRecord& record,
                            const std::string& previousTree, const std::string& localData, bool copyData)
{
  const std::string kept = PackagePaths::keptDirectory(packageRoot);
  const std::string directory = directoryOf(packageRoot, record.name);
  drop(packageRoot, record.name);
  if (!FileUtils::makeDirectory(kept, 0700, false) || !FileUtils::makeDirectory(directory, 0700, false)) {
    return Failure(Failure::Kind::Io, "cannot create " + directory);
  }
  if (std::rename(previousTree.c_str(), (directory + "package").c_str()) != 0) {
    drop(packageRoot, record.name);
    return Failure(Failure::Kind::Io, "cannot move the previous version into " + directory);
  }
  // The record first, without the data: a copy cut short by a crash is never taken for one.
  record.dataKept = false;
  if (!save(packageRoot, record)) {
    drop(packageRoot, record.name);
    return Failure(Failure::Kind::Io, "cannot write " + directory + "probation.json");
  }
  if (copyData) {
    if (FileUtils::copyTree(localData, directory + "localdata")) {
      record.dataKept = true;
      if (!save(packageRoot, record)) {
        record.dataKept = false;
      }
    }
    if (!record.dataKept) {
      FileUtils::removeTree(directory + "localdata");
    }
  }
  return std::nullopt;
}

bool save(const std::string& packageRoot, const ProbationRecord& record)
{
  return FileUtils::writeFile(directoryOf(packageRoot, record.name) + "probation.json", recordText(record));
}

std::optional<ProbationRecord> load(const std::string& packageRoot, const std::string& name)
{
  const std::string directory = directoryOf(packageRoot, name);
  rapidjson::Document document;
  if (!FileUtils::pathExists(directory + "package") ||
      Json::parse(document, FileUtils::readFile(directory + "probation.json"), maxRecordBytes) ||
      !document.IsObject()) {
    return std::nullopt;
  }
  auto text = [&document](const char* key) {
    auto member = document.FindMember(key);
    return member != document.MemberEnd() && member->value.IsString() ? std::string(member->value.GetString())
                                                                        : std::string();
  };
  auto number = [&document](const char* key) {
    auto member = document.FindMember(key);
    return member != document.MemberEnd() && member->value.IsInt64() ? member->value.GetInt64() : int64_t{0};
  };
  ProbationRecord record;
  record.name = name;
  record.fromVersion = text("from");
  record.toVersion = text("to");
  record.startedMs = number("started");
  record.untilMs = number("until");
  auto data = document.FindMember("data");
  record.dataKept = data != document.MemberEnd() && data->value.IsBool() && data->value.GetBool() &&
                    FileUtils::pathExists(directory + "localdata");
  return record;
}

void drop(const std::string& packageRoot, const std::string& name)
{
  const std::string directory = directoryOf(packageRoot, name);
  if (FileUtils::pathExists(directory) && !FileUtils::removeTree(directory)) {
    Logger::log("Package " + name + ": cannot delete the previous version kept in " + directory, LogLevel::Error);
  }
}

void dropData(const std::string& packageRoot, const std::string& name)
{
  std::optional<ProbationRecord> record = load(packageRoot, name);
  if (!record || !record->dataKept) {
    return;
  }
  record->dataKept = false;
  // The record first: a copy it no longer names is never restored.
  save(packageRoot, *record);
  FileUtils::removeTree(directoryOf(packageRoot, name) + "localdata");
}

std::string restore(const std::string& packageRoot, const std::string& name, const std::string& packageDirectory)
{
  const std::optional<ProbationRecord> record = load(packageRoot, name);
  const std::string directory = directoryOf(packageRoot, name);
  if (!record) {
    return {};
  }
  const std::string unproven = directory + "unproven";
  const std::string keptData = directory + "localdata";
  const std::string keptPackage = directory + "package";
  const std::string restoredData = keptPackage + "/localdata";
  // Each step is a rename within the package root that looks first at what is where, so that
  // a restore cut short by a crash is finished by the next call (see recover). The kept
  // version leaves the kept directory last.
  if (!FileUtils::pathExists(unproven) && FileUtils::pathExists(packageDirectory) && std::rename(packageDirectory.c_str(), unproven.c_str()) != 0) {
    Logger::log("Package " + name + ": cannot move " + packageDirectory + " aside", LogLevel::Error);
    return {};
  }
  const bool dataRestored = record->dataKept && (FileUtils::pathExists(keptData) || FileUtils::pathExists(restoredData));
  const std::string data = dataRestored ? keptData : unproven + "/localdata";
  if (FileUtils::pathExists(data) && !FileUtils::pathExists(restoredData) && std::rename(data.c_str(), restoredData.c_str()) != 0) {
    Logger::log("Package " + name + ": cannot put the local data into the kept version", LogLevel::Error);
    std::rename(unproven.c_str(), packageDirectory.c_str());
    return {};
  }
  if (std::rename(keptPackage.c_str(), packageDirectory.c_str()) != 0) {
    Logger::log("Package " + name + ": cannot move the kept version back to " + packageDirectory, LogLevel::Error);
    // The unproven version goes back whole, with the data it had.
    if (!dataRestored) {
      std::rename(restoredData.c_str(), data.c_str());
    }
    std::rename(unproven.c_str(), packageDirectory.c_str());
    return {};
  }
  FileSync::syncPath(packageRoot);
  drop(packageRoot, name);
  return dataRestored ? "restored" : "kept_current";
}

std::string recover(const std::string& packageRoot, const std::string& name, const std::string& packageDirectory)
{
  const std::string directory = directoryOf(packageRoot, name);
  if (!FileUtils::pathExists(directory)) {
    return {};
  }
  if (FileUtils::pathExists(directory + "unproven")) {
    // A restore was cut short: it is finished (or, with the kept version already back, only
    // the leftovers go).
    if (!FileUtils::pathExists(directory + "package")) {
      drop(packageRoot, name);
      return "kept_current";
    }
    return restore(packageRoot, name, packageDirectory);
  }
  if (!load(packageRoot, name)) {
    // Kept without a record that names it (a crash while keeping): never restored, so gone.
    drop(packageRoot, name);
  }
  return {};
}

uint64_t treeBytes(const std::string& path)
{
  uint64_t total = 0;
  for (const FileUtils::FileEntry& entry : FileUtils::listFilesRecursive(path)) {
    struct stat status;
    if (lstat((path + "/" + entry.path).c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
      total += static_cast<uint64_t>(status.st_size);
    }
  }
  return total;
}

} // namespace KeptVersion
