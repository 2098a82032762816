// Throughput of the multipart parser alone: one large file part, fed in 32 KiB chunks as an
// HTTP server would, streamed into a temporary file. Next to it, the same chunks written
// straight to a file in the same directory: the floor that the file system sets. Figures are
// given per second of wall time and per second of this process's CPU time (the latter is what
// to read on a busy machine).
//
// Usage: bench_multipart [MiB per run] [runs] [temp dir...]
// Defaults: 256 MiB, 4 runs, temp files in $TMPDIR (or /tmp) and, when present, /dev/shm.

#include "mpfd/Exception.h"
#include "mpfd/Parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t chunkSize = 32 * 1024;
const std::string boundaryParameter = "----OrvaneBenchBoundary7MA4YWxkTrZu0gW";

// Incompressible-looking content, so that boundary-like bytes ("-", CR, LF) occur as often as
// in a real archive.
std::vector<char> makeBody(std::size_t contentBytes)
{
  const std::string head =
      "--" + boundaryParameter +
      "\r\nContent-Disposition: form-data; name=\"packageFile\"; filename=\"big.zip\"\r\n"
      "Content-Type: application/zip\r\n\r\n";
  const std::string tail = "\r\n--" + boundaryParameter + "--\r\n";
  std::vector<char> body(head.size() + contentBytes + tail.size());
  std::copy(head.begin(), head.end(), body.begin());
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  for (std::size_t i = 0; i < contentBytes; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    body[head.size() + i] = static_cast<char>(state >> 56);
  }
  std::copy(tail.begin(), tail.end(), body.begin() + static_cast<std::ptrdiff_t>(head.size() + contentBytes));
  return body;
}

struct Clock {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = cpuSeconds();

  static double cpuSeconds()
  {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
  }
};

struct Seconds {
  double wall = 0;
  double cpu = 0;

  void add(const Clock& start)
  {
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start.wall).count();
    cpu += Clock::cpuSeconds() - start.cpu;
  }
};

// Adds the time spent in AcceptSomeData for one parse of `body`; false on failure.
bool parseOnce(const std::vector<char>& body, std::size_t contentBytes, const std::string& dir,
               Seconds& spent)
{
  MPFD::Parser parser;
  parser.SetFileStorage(MPFD::StoreInFilesystem);
  parser.SetTempDir(dir);
  parser.SetMaxDataCollectorLength(15360000);
  parser.SetContentType("multipart/form-data; boundary=" + boundaryParameter);
  Clock start;
  for (std::size_t at = 0; at < body.size(); at += chunkSize) {
    parser.AcceptSomeData(body.data() + at, std::min(chunkSize, body.size() - at));
  }
  spent.add(start);

  MPFD::Field* field = parser.GetField("packageFile");
  struct stat info {};
  if (!parser.IsComplete() || field == nullptr || ::stat(field->GetTempFileName().c_str(), &info) != 0 ||
      static_cast<std::size_t>(info.st_size) != contentBytes) {
    std::fprintf(stderr, "parse in %s did not produce the whole file part\n", dir.c_str());
    return false;
  }
  return true;
}

// Adds the time spent writing the same chunks to a file in `dir`; false on failure.
bool writeOnce(const std::vector<char>& body, const std::string& dir, Seconds& spent)
{
  const std::string path = dir + "/bench_multipart_write_only";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::perror(path.c_str());
    return false;
  }
  bool ok = true;
  Clock start;
  for (std::size_t at = 0; ok && at < body.size(); at += chunkSize) {
    std::size_t length = std::min(chunkSize, body.size() - at);
    ok = ::write(fd, body.data() + at, length) == static_cast<ssize_t>(length);
  }
  spent.add(start);
  ::close(fd);
  ::unlink(path.c_str());
  return ok;
}

void report(const char* what, double bytes, const Seconds& spent)
{
  std::printf("    %-10s %6.2f GB/s wall   %6.2f GB/s CPU\n", what, bytes / spent.wall / 1e9,
              bytes / spent.cpu / 1e9);
}

} // namespace

int main(int argc, char** argv)
{
  std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  int runs = argc > 2 ? std::atoi(argv[2]) : 4;
  std::vector<std::string> dirs;
  for (int i = 3; i < argc; ++i) {
    dirs.emplace_back(argv[i]);
  }
  if (dirs.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    dirs.emplace_back(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    struct stat info {};
    if (::stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode)) {
      dirs.emplace_back("/dev/shm");
    }
  }
  if (mebibytes == 0 || runs <= 0) {
    std::fprintf(stderr, "usage: %s [MiB per run] [runs] [temp dir...]\n", argv[0]);
    return 2;
  }

  std::size_t contentBytes = mebibytes << 20;
  std::vector<char> body = makeBody(contentBytes);
  std::printf("multipart parse: one %zu MiB file part in %zu KiB chunks, %d runs per directory\n", mebibytes,
              chunkSize / 1024, runs);

  int status = 0;
  const double bytes = static_cast<double>(body.size()) * runs;
  for (const std::string& dir : dirs) {
    Seconds parsing;
    Seconds writing;
    bool ok = true;
    try {
      for (int run = 0; ok && run < runs; ++run) {
        ok = parseOnce(body, contentBytes, dir, parsing) && writeOnce(body, dir, writing);
      }
    } catch (const MPFD::Exception& e) {
      std::fprintf(stderr, "%s: %s\n", dir.c_str(), e.GetError().c_str());
      ok = false;
    }
    if (!ok) {
      status = 1;
      continue;
    }
    std::printf("  temp files in %s\n", dir.c_str());
    report("parser", bytes, parsing);
    report("write only", bytes, writing);
  }
  return status;
}
