#include "http/UiFile.h"

#include "util/StringUtils.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

namespace UiFile {
namespace {

// The absolute path with every ".", ".." and symbolic link resolved; "" when it does not
// exist.
std::string resolved(const std::string& path)
{
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

} // namespace

Route route(const std::string& url)
{
  const std::vector<std::string> pieces = StringUtils::split(url, '/');
  Route result;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (pieces[i] != "package") {
      continue;
    }
    if (pieces.size() - i - 1 < 2) {
      return result;
    }
    result.valid = true;
    result.packageName = pieces[i + 1];
    result.filePath = StringUtils::join(
        std::vector<std::string>(pieces.begin() + static_cast<std::ptrdiff_t>(i) + 2, pieces.end()), '/');
    return result;
  }
  return result;
}

bool isPlainRelativePath(const std::string& filePath)
{
  // The path is handed to the system as a C string, which a NUL would cut short.
  if (filePath.empty() || filePath.find('\0') != std::string::npos) {
    return false;
  }
  std::vector<std::string> pieces;
  StringUtils::split(filePath, '/', pieces);
  for (const std::string& piece : pieces) {
    if (piece.empty() || piece == "..") {
      return false;
    }
  }
  return true;
}

bool open(const std::string& htmlDirectory, const std::string& filePath, OpenFile& file)
{
  if (!isPlainRelativePath(filePath)) {
    return false;
  }
  const std::string root = resolved(htmlDirectory);
  const std::string target = resolved(htmlDirectory + "/" + filePath);
  if (root.empty() || target.size() <= root.size() + 1 || target.compare(0, root.size(), root) != 0 ||
      target[root.size()] != '/') {
    return false;
  }
  // The resolved path is opened without following a link, and checked on the open file, so
  // that a link swapped in after the check cannot lead elsewhere. Non-blocking, so that a
  // FIFO planted in the tree cannot hold the thread.
  UniqueFd fd(::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat status {};
  if (!fd || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return false;
  }
  file.fd = std::move(fd);
  file.size = static_cast<uint64_t>(status.st_size);
  return true;
}

} // namespace UiFile
