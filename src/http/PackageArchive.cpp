#include "http/PackageArchive.h"

#include "util/StringUtils.h"

#include <zip.h>

#include <cstdint>
#include <memory>
#include <set>

namespace {

struct ArchiveCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};

bool escapesDestination(const std::string& name)
{
  if (name.empty() || name[0] == '/' || name.find('\\') != std::string::npos) {
    return true;
  }
  for (const std::string& component : StringUtils::split(name, '/')) {
    if (component == "..") {
      return true;
    }
  }
  return false;
}

} // namespace

PackageArchive inspectPackageArchive(const std::string& path)
{
  PackageArchive result;
  int error = 0;
  std::unique_ptr<zip_t, ArchiveCloser> archive(zip_open(path.c_str(), ZIP_RDONLY, &error));
  if (!archive) {
    result.problem = "not a zip archive";
    return result;
  }
  const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  std::set<std::string> names;
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &stat) != 0 ||
        (stat.valid & ZIP_STAT_NAME) == 0 || (stat.valid & ZIP_STAT_SIZE) == 0) {
      result.problem = "unreadable entry";
      return result;
    }
    const std::string name = stat.name;
    if (escapesDestination(name)) {
      result.problem = "entry outside the package: " + name;
      return result;
    }
    if (!names.insert(name).second) {
      result.problem = "repeated entry: " + name;
      return result;
    }
    // Saturate rather than wrap, so that absurd sizes cannot add up to a small total.
    result.uncompressedSize =
        stat.size > UINT64_MAX - result.uncompressedSize ? UINT64_MAX : result.uncompressedSize + stat.size;
  }
  result.usable = true;
  return result;
}
