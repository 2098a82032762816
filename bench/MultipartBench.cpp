// Throughput of the multipart parser alone: one large file part, fed in 32 KiB chunks as an
// HTTP server would, streamed into a temporary file.
//
// Usage: bench_multipart [MiB per run] [runs] [temp dir...]
// Defaults: 256 MiB, 4 runs, temp files in $TMPDIR (or /tmp) and, when present, /dev/shm.

#include "mpfd/Exception.h"
#include "mpfd/Parser.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// Seconds spent in AcceptSomeData for one parse of `body`, or a negative value on failure.
double parseOnce(const std::vector<char>& body, std::size_t contentBytes, const std::string& dir)
{
  MPFD::Parser parser;
  parser.SetFileStorage(MPFD::StoreInFilesystem);
  parser.SetTempDir(dir);
  parser.SetMaxDataCollectorLength(15360000);
  parser.SetContentType("multipart/form-data; boundary=" + boundaryParameter);
  auto start = std::chrono::steady_clock::now();
  for (std::size_t at = 0; at < body.size(); at += chunkSize) {
    parser.AcceptSomeData(body.data() + at, std::min(chunkSize, body.size() - at));
  }
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  MPFD::Field* field = parser.GetField("packageFile");
  struct stat info {};
  if (!parser.IsComplete() || field == nullptr || ::stat(field->GetTempFileName().c_str(), &info) != 0 ||
      static_cast<std::size_t>(info.st_size) != contentBytes) {
    std::fprintf(stderr, "parse in %s did not produce the whole file part\n", dir.c_str());
    return -1;
  }
  return seconds;
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
  for (const std::string& dir : dirs) {
    double total = 0;
    double best = 0;
    try {
      for (int run = 0; run < runs; ++run) {
        double seconds = parseOnce(body, contentBytes, dir);
        if (seconds < 0) {
          total = -1;
          break;
        }
        total += seconds;
        best = run == 0 || seconds < best ? seconds : best;
      }
    } catch (const MPFD::Exception& e) {
      std::fprintf(stderr, "%s: %s\n", dir.c_str(), e.GetError().c_str());
      total = -1;
    }
    if (total < 0) {
      status = 1;
      continue;
    }
    double bytes = static_cast<double>(body.size());
    std::printf("  temp files in %-12s mean %6.2f GB/s   best %6.2f GB/s\n", dir.c_str(),
                bytes * runs / total / 1e9, bytes / best / 1e9);
  }
  return status;
}
