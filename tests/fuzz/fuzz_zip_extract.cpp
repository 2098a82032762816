// Unpacks arbitrary bytes as a zip archive and aborts if anything lands outside the
// destination directory or a link created inside it resolves to a place outside.
#include "util/Logger.h"
#include "util/ZipUtils.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

fs::path workDirectory;

bool isWithin(const fs::path& path, const fs::path& root)
{
  const std::string text = path.string();
  const std::string prefix = root.string() + "/";
  return text == root.string() || text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  Logger::setLevel("none");
  char pattern[] = "/tmp/fuzz_zip_extract.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::abort();
  }
  workDirectory = pattern;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const fs::path box = workDirectory / "box";
  const fs::path destination = box / "dest";
  fs::remove_all(box);
  fs::create_directory(box);

  ZipUtils::extractArchiveFromMemory(data, size, destination.string());

  for (const auto& entry : fs::directory_iterator(box)) {
    if (entry.path() != destination) {
      std::abort();
    }
  }
  if (fs::exists(destination)) {
    const fs::path root = fs::canonical(destination);
    for (const auto& entry : fs::recursive_directory_iterator(destination)) {
      if (entry.is_symlink()) {
        std::error_code error;
        const fs::path resolved = fs::weakly_canonical(entry.path(), error);
        if (!error && !isWithin(resolved, root)) {
          std::abort();
        }
      }
    }
  }
  fs::remove_all(box);
  return 0;
}
