#pragma once

// What the unit tests share: temporary directories, a loopback listener, a log capture, a
// full disk, and a package runtime over a temporary storage layout with fake parameters.

#include "camera/CameraParameters.h"
#include "packages/PackagePaths.h"
#include "packages/PackageRuntime.h"
#include "util/Failure.h"
#include "util/FileUtils.h"
#include "util/Logger.h"
#include "util/UniqueFd.h"
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace TestSupport {

inline void writeText(const std::string& path, const std::string& text, mode_t mode = 0644)
{
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), mode);
}

inline std::string readText(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string readAll(int fd)
{
  std::string text;
  char buffer[4096];
  ssize_t count;
  while ((count = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(count));
  }
  return text;
}

inline bool exists(const std::string& path)
{
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

inline void makeDirectories(const std::string& path)
{
  ASSERT_TRUE(FileUtils::makeDirectory(path, 0755, true)) << path;
}

// A fresh directory, removed with its content afterwards.
class TempDir {
public:
  TempDir()
  {
    char pattern[] = "/tmp/orvane-test-XXXXXX";
    const char* created = mkdtemp(pattern);
    path_ = created != nullptr ? created : "";
  }
  ~TempDir()
  {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  // Everything below `root` (the directory itself by default), relative and sorted.
  std::vector<std::string> tree(const std::string& root = "") const
  {
    namespace fs = std::filesystem;
    const std::string base = root.empty() ? path_ : root;
    std::vector<std::string> paths;
    std::error_code missing;
    for (auto it = fs::recursive_directory_iterator(base, missing); it != fs::recursive_directory_iterator();
         ++it) {
      paths.push_back(fs::relative(it->path(), base).string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
  }

private:
  std::string path_;
};

// A socket listening on 127.0.0.1, at `port` or (0) at a free port, which `port` then names.
inline UniqueFd listenOnLoopback(uint16_t& port)
{
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd.get(), 16) != 0 ||
      getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return UniqueFd();
  }
  port = ntohs(address.sin_port);
  return fd;
}

// Runs `action` with writes past `bytes` failing, as on a full disk.
inline void withFileSizeLimit(rlim_t bytes, const std::function<void()>& action)
{
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previous = signal(SIGXFSZ, SIG_IGN);
  rlimit tight = saved;
  tight.rlim_cur = bytes;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  action();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
}

// The application directory and the SD card laid out below a temporary directory, as on a
// camera: <tmp>/packages/orvane/{tools,lib32,localdata/packages}/ and <tmp>/SD_DISK/.
class StorageLayout {
public:
  explicit StorageLayout(bool withSdCard = true)
  {
    PackagePaths::setApplicationName("orvane");
    PackagePaths::setBaseDirectoriesForTesting(dir.path() + "/packages/", dir.path() + "/SD_DISK/");
    makeDirectories(PackagePaths::flashPackageRoot());
    makeDirectories(PackagePaths::flashNodeLocation());
    makeDirectories(PackagePaths::libraryDirectory());
    if (withSdCard) {
      makeDirectories(PackagePaths::sdCardDirectory());
    }
  }
  ~StorageLayout()
  {
    PackagePaths::setBaseDirectoriesForTesting("/usr/local/packages/", "/var/spool/storage/SD_DISK/");
  }

  std::string root() const { return dir.path(); }

  // A package directory with a valid manifest and `mainJs` as its program.
  std::string addPackage(const std::string& root, const std::string& name, const std::string& mainJs = "",
                         const std::string& requiredVersion = "")
  {
    const std::string path = root + name;
    makeDirectories(path + "/localdata");
    std::string manifest = "{\"package_name\":\"" + name +
                           "\",\"package_menu_name\":\"M\",\"package_version\":\"1.0\",\"vendor\":\"V\"";
    if (!requiredVersion.empty()) {
      manifest += ",\"required_orvane_version\":\"" + requiredVersion + "\"";
    }
    writeText(path + "/manifest.json", manifest + "}");
    writeText(path + "/main.js", mainJs);
    return path;
  }

private:
  TempDir dir;
};

// Camera parameters without a platform: values are seeded into the cache, VAPIX writes
// are recorded (and also cached, as the platform's change notification would do) or refused.
class FakeParams : public CameraParameters {
public:
  FakeParams() : CameraParameters("orvane", nullptr) {}

  void seed(const std::string& name, const std::string& value) { cache.set(name, value); }

  void setVapixParameter(const std::string& name, const std::string& value) override
  {
    writes.emplace_back(name, value);
    if (refuseWrites) {
      throw Failure(Failure::Kind::Io,
                    "Unable to set parameter \"" + name + "\" to \"" + value + "\" - refused");
    }
    cache.set(name.substr(name.find('.') + 1), value);
  }

  std::vector<std::pair<std::string, std::string>> writes;
  bool refuseWrites = false;
};

using TestParams = std::shared_ptr<FakeParams>;

// The package runtime an application of version 3.1.10 would build on `params`, over the
// storage layout in place when it is called.
inline PackageRuntime testRuntime(const TestParams& params)
{
  PackageRuntime runtime;
  runtime.appName = "orvane";
  runtime.appVersion = "3.1.10";
  runtime.flashPackageRoot = PackagePaths::flashPackageRoot();
  runtime.sdPackageRoot = PackagePaths::sdPackageRoot();
  runtime.firstPort = 22522;
  runtime.lastPort = 22549;
  runtime.nodeLocation = [params]() { return params->getParameters()["NodejsLocation"]; };
  return runtime;
}

// Waits up to `seconds` for `condition` to hold.
template <typename Condition> bool eventually(Condition condition, double seconds = 5)
{
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// Sends the console lines of the log to a file for the lifetime of the object.
class LogCapture {
public:
  explicit LogCapture(const std::string& level = "trace")
  {
    fflush(stdout);
    file = dir.path() + "/log";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    savedStdout = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    Logger::setLevel(level);
    Logger::setConsoleOutput(true);
  }
  // GoogleTest's failure messages land in the capture too: on failure it is shown whole.
  ~LogCapture()
  {
    Logger::setConsoleOutput(false);
    Logger::setLevel("info");
    fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    if (::testing::Test::HasFailure()) {
      fprintf(stderr, "---- captured output ----\n%s\n----\n", text().c_str());
    }
  }

  std::string text() const { return readText(file); }

  // The messages logged so far, without their time stamp: "[ Error   ] x".
  std::vector<std::string> lines() const
  {
    std::vector<std::string> result;
    std::istringstream in(text());
    std::string line;
    while (std::getline(in, line)) {
      result.push_back(line.size() > 24 ? line.substr(24) : line);
    }
    return result;
  }

  bool has(const std::string& labelAndMessage) const
  {
    const auto all = lines();
    return std::find(all.begin(), all.end(), labelAndMessage) != all.end();
  }

  bool contains(const std::string& fragment) const { return text().find(fragment) != std::string::npos; }

  bool waitFor(const std::string& labelAndMessage, double seconds = 5) const
  {
    return eventually([&] { return has(labelAndMessage); }, seconds);
  }

private:
  TempDir dir;
  std::string file;
  int savedStdout = -1;
};

} // namespace TestSupport
