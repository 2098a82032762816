// Feeds random bodies to the multipart parser in random chunks and checks that the chunking
// changes nothing: the same fields, contents, files and errors as when the body arrives whole,
// error texts that stay short and printable, and no temporary file left behind once the parsers
// are gone.
//
// Input: byte 0 picks the boundary, the storage and a small limit, and (both top bits set)
// repeats the body's second half up to past the upload caps; bytes 1 to 3 seed the chunk
// sizes; the rest is the body.

#include "mpfd/Exception.h"
#include "mpfd/Parser.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

namespace {

const char* const boundaries[] = {"AaB03x", "x", "--", "a\r\n"};
const std::string limitError = "Maximum data collector length reached.";
// Past every text field and header cap, and enough small parts for the part caps.
constexpr std::size_t largeBody = 80 * 1024;
// The longest fixed text, a 200-byte quote escaped 4 bytes a byte, and a temporary path.
constexpr std::size_t longestError = 1200;

// A private directory for the temporary files, removed when the fuzzer exits.
struct TempDir {
  TempDir()
  {
    std::string pattern = (std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") +
                          std::string("/fuzz_multipart.XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    path = pattern;
  }
  ~TempDir()
  {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

const TempDir& tempDir()
{
  static TempDir dir;
  return dir;
}

std::string readAll(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Everything a caller can observe after feeding a body.
struct Outcome {
  std::string error;
  std::string fields;
  bool complete = false;
  int state = 0;

  bool operator==(const Outcome& o) const
  {
    return std::tie(error, fields, complete, state) == std::tie(o.error, o.fields, o.complete, o.state);
  }
};

std::string describe(const MPFD::Parser& parser)
{
  std::string text;
  for (const auto& [name, field] : parser.GetFields()) {
    text += name + '\0' + std::to_string(field->GetType()) + '\0';
    if (field->GetType() == MPFD::Field::Text) {
      text += field->GetTextContent();
    } else {
      text += field->GetFileName() + '\0' + field->GetFileMimeType() + '\0';
      try {
        text += std::string(field->GetFileContent(), field->GetFileContentSize());
      } catch (const MPFD::Exception&) {
        if (field->HasTempFile()) {
          text += readAll(field->GetTempFileName());
        } else if (field->GetTempFileName() != tempDir().path + "/") {
          std::abort();
        }
      }
    }
    text += '\n';
  }
  return text;
}

Outcome run(MPFD::Parser& parser, const std::string& body, const std::vector<std::size_t>& chunks)
{
  Outcome outcome;
  std::size_t at = 0;
  try {
    for (std::size_t i = 0; at < body.size(); ++i) {
      std::size_t length = std::min(chunks[i % chunks.size()], body.size() - at);
      parser.AcceptSomeData(body.data() + at, length);
      at += length;
    }
  } catch (const MPFD::Exception& e) {
    outcome.error = e.GetError();
  }
  const bool unprintable = std::any_of(outcome.error.begin(), outcome.error.end(), [](char c) {
    return c == '\r' || static_cast<unsigned char>(c) >= 0x7f;
  });
  if (outcome.error.size() > longestError || unprintable) {
    std::fprintf(stderr, "error text too long or not printable: %zu bytes\n", outcome.error.size());
    std::abort();
  }
  outcome.fields = describe(parser);
  outcome.complete = parser.IsComplete();
  outcome.state = parser.GetState();
  return outcome;
}

void configure(MPFD::Parser& parser, std::uint8_t control)
{
  parser.SetFileStorage((control & 4) != 0 ? MPFD::StoreInMemory : MPFD::StoreInFilesystem);
  parser.SetTempDir(tempDir().path);
  parser.SetContentType(std::string("multipart/form-data; boundary=") + boundaries[control & 3]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size < 4) {
    return 0;
  }
  const std::uint8_t control = data[0];
  std::vector<std::size_t> chunks;
  for (std::size_t i = 1; i < 4; ++i) {
    chunks.push_back((data[i] & 0x80) != 0 ? (data[i] & 0x7f) * 37u + 1 : data[i] + 1u);
  }
  std::string body(reinterpret_cast<const char*>(data) + 4, size - 4);
  if ((control & 0xc0) == 0xc0 && !body.empty()) {
    // Repeating the second half lets one part's content or headers, or the parts, grow.
    const std::string tail = body.substr(body.size() / 2);
    while (body.size() < largeBody) {
      body += tail;
    }
  }
  {
    MPFD::Parser whole;
    configure(whole, control);
    MPFD::Parser chunked;
    configure(chunked, control);
    MPFD::Parser limited;
    configure(limited, control);
    limited.SetMaxDataCollectorLength(32 + (control >> 3));

    Outcome reference = run(whole, body, {body.size() + 1});
    if (!(run(chunked, body, chunks) == reference)) {
      std::fprintf(stderr, "chunked parse differs from the whole-body parse\n");
      std::abort();
    }
    // One byte at a time, the collector holds only what cannot be consumed yet.
    Outcome bounded = run(limited, body, {1});
    if (bounded.error != limitError && !(bounded == reference)) {
      std::fprintf(stderr, "a limit that was never reached changed the outcome\n");
      std::abort();
    }
  }
  if (!std::filesystem::is_empty(tempDir().path)) {
    std::fprintf(stderr, "temporary files left behind in %s\n", tempDir().path.c_str());
    std::abort();
  }
  return 0;
}
