#include "packages/PackageManifest.h"

#include "util/Json.h"
#include "util/Limits.h"
#include "util/StringUtils.h"
#include "util/UniqueFd.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <vector>

namespace {

// The first occurrence of `key` (FindMember searches from the front), or null when the
// member is absent or not a string.
const rapidjson::Value* stringMember(const rapidjson::Value& object, const char* key)
{
  auto member = object.FindMember(key);
  if (member == object.MemberEnd() || !member->value.IsString()) {
    return nullptr;
  }
  return &member->value;
}

// Manifests are written by packages: their texts are made valid UTF-8 before they reach a
// log line or an answer.
std::string toString(const rapidjson::Value& value)
{
  return StringUtils::repairUtf8(std::string(value.GetString(), value.GetStringLength()));
}

// Reads a leading int the way `stream >> int` does; false when there are no digits or
// the number does not fit.
bool readLeadingInt(const std::string& text, int& number)
{
  std::istringstream stream(text);
  stream >> number;
  return !stream.fail();
}

// Reads at most `limit` + 1 bytes of the file, so that an oversized one is seen as such
// without being held whole; "" when the file cannot be opened or read (a directory).
std::string readBounded(const std::string& path, size_t limit)
{
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    return {};
  }
  std::string text(limit + 1, '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = read(fd.get(), &text[got], text.size() - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return {};
    }
    if (n == 0) {
      break;
    }
    got += static_cast<size_t>(n);
  }
  text.resize(got);
  // A file holding only a newline is as empty as the general file reading makes it; an
  // oversized one keeps its length so that the size cap refuses it.
  if (got <= limit && !text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

bool parseValidManifest(PackageManifest& manifest, rapidjson::Document& document, const std::string& text);

} // namespace

std::optional<Failure> readManifest(PackageManifest& manifest, const std::string& path)
{
  return parseManifest(manifest, readBounded(path, Limits::maxManifestBytes), path);
}

std::optional<Failure> parseManifest(PackageManifest& manifest, const std::string& text,
                                     const std::string& path)
{
  if (text.empty()) {
    return Failure(Failure::Kind::NotFound, "Read manifest error: No such file: " + path);
  }
  rapidjson::Document document;
  if (!parseValidManifest(manifest, document, text)) {
    return Failure(Failure::Kind::BadInput, "Invalid manifest file: " + path);
  }
  return std::nullopt;
}

namespace {

bool parseValidManifest(PackageManifest& manifest, rapidjson::Document& document, const std::string& text)
{
  if (Json::parse(document, text, Limits::maxManifestBytes) || !document.IsObject()) {
    return false;
  }

  const rapidjson::Value* required[4];
  const char* const requiredKeys[4] = {"package_name", "package_menu_name", "package_version", "vendor"};
  for (int i = 0; i < 4; ++i) {
    required[i] = stringMember(document, requiredKeys[i]);
    if (required[i] == nullptr) {
      return false;
    }
  }

  manifest.packageName = toString(*required[0]);
  manifest.packageMenuName = toString(*required[1]);
  manifest.packageVersion = toString(*required[2]);
  manifest.vendor = toString(*required[3]);
  if (const rapidjson::Value* value = stringMember(document, "required_orvane_version")) {
    manifest.requiredVersion = toString(*value);
  }
  if (const rapidjson::Value* value = stringMember(document, "ui_link")) {
    manifest.uiLink = toString(*value);
  }
  return true;
}

} // namespace

bool checkRequiredVersion(const PackageManifest& manifest, const std::string& appVersion)
{
  if (manifest.requiredVersion.empty()) {
    return true;
  }
  std::vector<std::string> required;
  std::vector<std::string> actual;
  StringUtils::split(manifest.requiredVersion, '.', required, 0);
  StringUtils::split(appVersion, '.', actual, 0);

  for (size_t i = 0; i < required.size() && i < actual.size(); ++i) {
    int requiredNumber = 0;
    int actualNumber = 0;
    if (!readLeadingInt(required[i], requiredNumber) || !readLeadingInt(actual[i], actualNumber)) {
      continue;
    }
    if (requiredNumber > actualNumber) {
      return false;
    }
    if (requiredNumber < actualNumber) {
      return true;
    }
  }
  return true;
}

std::string manifestJson(const std::string& directory, const std::string& name)
{
  const std::string path = directory + "/manifest.json";
  const std::string text = readBounded(path, Limits::maxManifestBytes);
  PackageManifest manifest;
  rapidjson::Document document;
  if (text.empty()) {
    throw Failure(Failure::Kind::NotFound, "no manifest.json");
  }
  if (!parseValidManifest(manifest, document, text)) {
    throw Failure(Failure::Kind::BadInput, "invalid manifest.json");
  }
  if (manifest.packageName != name) {
    throw Failure(Failure::Kind::BadInput, "manifest.json names another package");
  }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::CrtAllocator,
                    rapidjson::kWriteValidateEncodingFlag>
      writer(buffer);
  if (!document.Accept(writer)) {
    throw Failure(Failure::Kind::BadInput, "manifest.json is not UTF-8");
  }
  return std::string(buffer.GetString(), buffer.GetSize());
}
