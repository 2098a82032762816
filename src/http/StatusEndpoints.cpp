#include "http/HttpServer.h"

#include "http/RequestData.h"
#include "packages/PackageController.h"
#include "packages/PackageName.h"
#include "packages/PackagePaths.h"
#include "util/FileUtils.h"
#include "util/Limits.h"
#include "util/StringUtils.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <optional>

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

const char* const unknownPackage = "Http API: package does not exist";

struct InstalledPackage {
  std::string name;
  const char* storage;
};

// Every package directory, FLASH first, each storage in directory order, as the package
// list has them; a directory whose manifest cannot be read is included, since its status
// says why it cannot start.
std::vector<InstalledPackage> installedPackages()
{
  std::vector<InstalledPackage> installed;
  auto add = [&installed](const std::string& root, const char* storage) {
    for (const std::string& name : FileUtils::listDirectories(root)) {
      if (PackagePaths::isPackageEntry(name)) {
        installed.push_back({name, storage});
      }
    }
  };
  add(PackagePaths::flashPackageRoot(), PackagePaths::flashStorage);
  add(PackagePaths::sdPackageRoot(), PackagePaths::sdStorage);
  return installed;
}

std::optional<InstalledPackage> installedPackage(const PackageController& controller, const std::string& name)
{
  if (!isValidPackageName(name)) {
    return std::nullopt;
  }
  const std::string path = controller.findPackagePath(name);
  if (path.empty()) {
    return std::nullopt;
  }
  const bool onFlash = PackagePaths::packageRootOf(path) == PackagePaths::flashPackageRoot();
  return InstalledPackage{name, onFlash ? PackagePaths::flashStorage : PackagePaths::sdStorage};
}

int64_t epochMs(std::chrono::system_clock::time_point at)
{
  return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

template <typename Number> void writeOptional(JsonWriter& writer, const std::optional<Number>& value)
{
  if (value) {
    writer.Int64(static_cast<int64_t>(*value));
  } else {
    writer.Null();
  }
}

void writePort(JsonWriter& writer, const Package* package, bool isPublic)
{
  const int port = package != nullptr ? package->getPort(isPublic) : Package::noPort;
  writeOptional(writer, port == Package::noPort ? std::nullopt : std::optional<int>(port));
}

void writeStatus(JsonWriter& writer, const PackageController& controller, const InstalledPackage& installed)
{
  const std::shared_ptr<Package> package = controller.getPackage(installed.name);
  const PackageStatus status = package ? package->status() : PackageStatus{};
  writer.StartObject();
  writer.Key("name");
  writer.String(StringUtils::repairUtf8(installed.name).c_str());
  writer.Key("storage");
  writer.String(installed.storage);
  writer.Key("enabled");
  writer.Bool(package != nullptr);
  writer.Key("state");
  writer.String(PackageStatus::stateName(status.state));
  if (!status.reason.empty()) {
    writer.Key("reason");
    writer.String(StringUtils::repairUtf8(status.reason).c_str());
  }
  writer.Key("pid");
  writeOptional(writer, status.pid);
  writer.Key("started_at");
  writeOptional(writer, status.startedAtMs);
  writer.Key("uptime_s");
  writeOptional(writer, status.uptimeSeconds);
  writer.Key("restarts");
  writer.Uint(status.restarts);
  writer.Key("last_exit");
  if (status.lastExit) {
    writer.StartObject();
    if (status.lastExit->signaled) {
      writer.Key("signal");
      writer.String(signalName(status.lastExit->signal).c_str());
    } else {
      writer.Key("code");
      writer.Int(status.lastExit->code);
    }
    writer.Key("at");
    writer.Int64(epochMs(status.lastExit->at));
    if (!status.lastExitCause.empty()) {
      writer.Key("cause");
      writer.String(status.lastExitCause.c_str());
    }
    writer.EndObject();
  } else {
    writer.Null();
  }
  writer.Key("http_port");
  writePort(writer, package.get(), false);
  writer.Key("http_port_public");
  writePort(writer, package.get(), true);
  writer.Key("rss_kib");
  writeOptional(writer, status.usage ? std::optional<uint64_t>(status.usage->rssKib) : std::nullopt);
  writer.Key("cpu_ms");
  writeOptional(writer, status.usage ? std::optional<uint64_t>(status.usage->cpuMs) : std::nullopt);
  writer.Key("next_start_in_s");
  writeOptional(writer, status.nextStartInSeconds);
  writer.Key("memory_limit_mib");
  writeOptional(writer, package ? package->memoryLimit() : std::nullopt);
  writer.Key("probation_until");
  writeOptional(writer, status.probationUntilMs);
  if (status.probationUntilMs) {
    writer.Key("rollback_available");
    writer.Bool(status.rollbackAvailable);
  }
  writer.Key("rollback");
  if (status.rollback) {
    const PackageRollback& rollback = *status.rollback;
    writer.StartObject();
    writer.Key("from");
    writer.String(rollback.fromVersion.c_str(), static_cast<rapidjson::SizeType>(rollback.fromVersion.size()));
    writer.Key("to");
    writer.String(rollback.toVersion.c_str(), static_cast<rapidjson::SizeType>(rollback.toVersion.size()));
    writer.Key("reason");
    writer.String(rollback.reason.c_str(), static_cast<rapidjson::SizeType>(rollback.reason.size()));
    writer.Key("at");
    writer.Int64(rollback.atMs);
    writer.Key("data");
    writer.String(rollback.data.c_str());
    writer.EndObject();
  } else {
    writer.Null();
  }
  writer.Key("containment");
  writer.String(package ? status.containment : controller.runtime().cgroupBase.empty() ? "process_group" : "cgroup");
  writer.EndObject();
}

// A whole decimal number in `text`, or `fallback` when it is empty; empty when it is not a
// number.
std::optional<uint64_t> numberArgument(const std::string& text, uint64_t fallback)
{
  if (text.empty()) {
    return fallback;
  }
  return StringUtils::decimalDigits(text, 19);
}

} // namespace

MHD_Result HttpServer::onPackageStatusRequest(MHD_Connection* connection, RequestData& request) const
{
  const std::string name = request.argument("package_name");
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  if (!name.empty()) {
    const std::optional<InstalledPackage> installed = installedPackage(*packages, name);
    if (!installed) {
      return sendJsonStatus(connection, MHD_HTTP_NOT_FOUND, unknownPackage);
    }
    writeStatus(writer, *packages, *installed);
  } else {
    writer.StartObject();
    writer.Key("packages");
    writer.StartArray();
    for (const InstalledPackage& installed : installedPackages()) {
      writeStatus(writer, *packages, installed);
    }
    writer.EndArray();
    writer.EndObject();
  }
  return sendJsonStatus(connection, MHD_HTTP_OK, buffer.GetString(), true);
}

MHD_Result HttpServer::onPackageLogRequest(MHD_Connection* connection, RequestData& request) const
{
  const std::string name = request.argument("package_name");
  if (name.empty()) {
    return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST,
                          "Http API: package log - no package name specified");
  }
  const std::optional<uint64_t> after = numberArgument(request.argument("after"), 0);
  const std::optional<uint64_t> limit =
      numberArgument(request.argument("limit"), Limits::packageLogDefaultLines);
  if (!after || !limit || *limit == 0) {
    return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST,
                          "Http API: package log - after and limit must be whole numbers, limit above 0");
  }
  if (!installedPackage(*packages, name)) {
    return sendJsonStatus(connection, MHD_HTTP_NOT_FOUND, unknownPackage);
  }
  // A package that is not registered has no lines: it has not run since Orvane started or
  // since it was enabled.
  PackageLog::Page page;
  if (const std::shared_ptr<Package> package = packages->getPackage(name)) {
    page = package->log().read(*after, std::min<uint64_t>(*limit, Limits::packageLogMaxLines));
  }
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key("lines");
  writer.StartArray();
  for (const PackageLog::Line& line : page.lines) {
    writer.StartObject();
    writer.Key("seq");
    writer.Uint64(line.seq);
    writer.Key("time");
    writer.Int64(line.timeMs);
    writer.Key("stream");
    writer.String(PackageLog::streamName(line.stream));
    writer.Key("text");
    writer.String(line.text.c_str(), static_cast<rapidjson::SizeType>(line.text.size()));
    writer.EndObject();
  }
  writer.EndArray();
  writer.Key("next");
  writer.Uint64(page.next);
  writer.Key("dropped");
  writer.Uint64(page.dropped);
  writer.EndObject();
  return sendJsonStatus(connection, MHD_HTTP_OK, buffer.GetString(), true);
}
