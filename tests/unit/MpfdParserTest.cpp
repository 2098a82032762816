#include "mpfd/Exception.h"
#include "mpfd/Parser.h"
#include "util/Limits.h"

#include "TestSupport.h"

#include <memory>

using namespace TestSupport;

namespace {

const std::string contentType = "multipart/form-data; boundary=AaB03x";

std::string part(const std::string& disposition, const std::string& content, const std::string& extra = "")
{
  return "--AaB03x\r\nContent-Disposition: form-data; " + disposition + "\r\n" + extra + "\r\n" + content +
         "\r\n";
}

const std::string closing = "--AaB03x--\r\n";

// The text every call to `action` threw, or "" when it did not throw.
std::string errorOf(const std::function<void()>& action)
{
  try {
    action();
  } catch (const MPFD::LimitExceeded& e) {
    return "too large: " + e.GetError();
  } catch (const MPFD::Exception& e) {
    return e.GetError();
  }
  return "";
}

// Descriptors this process holds on files in `dir`; each must be close-on-exec.
int descriptorsIn(const std::string& dir)
{
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error).parent_path() == dir) {
      ++count;
      EXPECT_NE(fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC, 0);
    }
  }
  return count;
}

class MpfdParserTest : public ::testing::Test {
protected:
  std::unique_ptr<MPFD::Parser> makeParser(int storage = MPFD::StoreInFilesystem) const
  {
    auto parser = std::make_unique<MPFD::Parser>();
    parser->SetFileStorage(storage);
    parser->SetTempDir(dir);
    parser->SetMaxDataCollectorLength(15360000);
    parser->SetContentType(contentType);
    return parser;
  }

  static void feed(MPFD::Parser& parser, const std::string& body, std::size_t chunk)
  {
    for (std::size_t at = 0; at < body.size(); at += chunk) {
      parser.AcceptSomeData(body.data() + at, std::min(chunk, body.size() - at));
    }
  }

  // The number the next temporary file gets.
  unsigned long nextNumber() const
  {
    auto probe = makeParser();
    feed(*probe, part("name=\"p\"; filename=\"p\"", "p") + closing, 100);
    const std::string name = probe->GetField("p")->GetTempFileName();
    return std::stoul(name.substr(name.rfind('_') + 1)) + 1;
  }

  std::vector<std::string> filesInDir() const { return temp.tree(); }

  // Everything a caller can observe of the fields, as one comparable text.
  static std::string describe(const MPFD::Parser& parser)
  {
    std::string text;
    for (const auto& [name, field] : parser.GetFields()) {
      text += "[" + name + "] ";
      if (field->GetType() == MPFD::Field::Text) {
        text += "text=" + field->GetTextContent();
      } else {
        text += "file=" + field->GetFileName() + " type=" + field->GetFileMimeType() +
                " content=" + (field->HasTempFile() ? readText(field->GetTempFileName()) : "<none>");
      }
      text += "\n";
    }
    return text;
  }

  TempDir temp;
  const std::string dir = temp.path();
};

TEST_F(MpfdParserTest, ContentTypeMustBeginWithMultipartFormDataAndCarryABoundary)
{
  MPFD::Parser parser;
  EXPECT_EQ(errorOf([&] { parser.AcceptSomeData("x", 1); }), "Accepting data, but content type was not set.");
  EXPECT_EQ(errorOf([&] { parser.SetContentType("Multipart/Form-Data; boundary=x"); }),
            "Content type is not \"multipart/form-data\"\nIt is \"Multipart/Form-Data; boundary=x\"");
  // A type without a boundary is checked on the wire.
  EXPECT_THROW(parser.SetContentType("multipart/form-data; charset=utf-8"), MPFD::Exception);
  EXPECT_EQ(errorOf([&] { parser.AcceptSomeData("x", 1); }), "Accepting data, but content type was not set.");
}

TEST_F(MpfdParserTest, BoundaryIsEverythingAfterTheKeyUnchanged)
{
  auto quoted = makeParser();
  quoted->SetContentType("multipart/form-data;boundary=\"q\"");
  feed(*quoted, "--\"q\"\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\nhi\r\n--\"q\"--\r\n", 1000);
  EXPECT_EQ(describe(*quoted), "[t] text=hi\n");

  // A following parameter stays part of the boundary, so the plain one no longer matches.
  auto trailing = makeParser();
  trailing->SetContentType("multipart/form-data; boundary=AaB03x; charset=utf-8");
  feed(*trailing, part("name=\"t\"", "hi") + closing, 1000);
  EXPECT_EQ(describe(*trailing), "");
}

TEST_F(MpfdParserTest, TextAndFileFieldsAreSeparatedExactlyWhateverTheChunking)
{
  // Content that ends in CR LF, holds CR LF CR LF, bare and CR LF-led partial boundaries and zero bytes.
  const std::string binary = std::string("PK\0\x01\r\n--AaB03\r\n\r\n\r\n--AaB0", 25) + "\r\n";
  const std::string body =
      "preamble --AaB03 ignored\r\n" + part("name=\"title\"", "Hello\r\nWorld") +
      part("name=\"f[]\"; filename=\"C:\\dir/a.zip\"", binary, "Content-Type: application/zip\r\n") +
      part("name=\"f[]\"; filename=\"b.bin\"", "x", "Content-Type: text/plain; x=y\r\n") +
      part("name=\"note\"", "") + part("name=\"g[]h\"", "[]") + closing;
  const std::string expected =
      "[f0] file=C:\\dir/a.zip type=application/zip content=" + binary +
      "\n[f1] file=b.bin type=text/plain; content=x\n[g[]h] text=[]\n[note] text=\n[title] "
      "text=Hello\r\nWorld\n";

  auto whole = makeParser();
  feed(*whole, body, body.size());
  ASSERT_EQ(describe(*whole), expected);
  EXPECT_TRUE(whole->IsComplete());
  EXPECT_EQ(whole->GetState(), MPFD::Parser::ReadingHeaders);
  whole.reset();

  for (std::size_t chunk = 1; chunk <= 40; ++chunk) {
    auto parser = makeParser();
    feed(*parser, body, chunk);
    EXPECT_EQ(describe(*parser), expected) << "chunk size " << chunk;
  }
  for (std::size_t split = 1; split < body.size(); ++split) {
    auto parser = makeParser();
    parser->AcceptSomeData(body.data(), split);
    parser->AcceptSomeData(body.data() + split, body.size() - split);
    ASSERT_EQ(describe(*parser), expected) << "split at " << split;
  }
}

TEST_F(MpfdParserTest, FilePartsSkipTakenNamesAndTheirFilesAreRemovedWithTheParser)
{
  // Occupy the next names, as files left by an earlier run would.
  const unsigned long next = nextNumber();
  const std::string taken = "MPFD_Temp_" + std::to_string(next);
  const std::string takenDir = "MPFD_Temp_" + std::to_string(next + 1);
  writeText(dir + "/" + taken, "someone else's");
  std::filesystem::create_directory(dir + "/" + takenDir);

  auto parser = makeParser();
  feed(*parser,
       part("name=\"a\"; filename=\"a\"", "first") + part("name=\"b\"; filename=\"b\"", "second") +
           part("name=\"c\"; filename=\"c\"", "") + closing,
       7);
  EXPECT_EQ(readText(parser->GetField("a")->GetTempFileName()), "first");
  EXPECT_EQ(readText(parser->GetField("b")->GetTempFileName()), "second");
  // An empty file part has no file: its name is the directory, which callers must not delete.
  EXPECT_FALSE(parser->GetField("c")->HasTempFile());
  EXPECT_EQ(parser->GetField("c")->GetTempFileName(), dir + "/");
  EXPECT_EQ(filesInDir().size(), 4u);

  parser.reset();
  EXPECT_EQ(filesInDir(), (std::vector<std::string>{taken, takenDir}));
  EXPECT_EQ(readText(dir + "/" + taken), "someone else's");
}

TEST_F(MpfdParserTest, RepeatedNameDisposesOfTheEarlierFieldAndFileNameBeforeNameGivesTheName)
{
  auto parser = makeParser();
  feed(*parser,
       part("name=\"f\"; filename=\"one\"", "1111") + part("name=\"f\"; filename=\"two\"", "22") + closing,
       5);
  EXPECT_EQ(describe(*parser), "[f] file=two type= content=22\n");
  EXPECT_EQ(filesInDir().size(), 1u);

  // A filename attribute before the name attribute gives the field its name.
  auto reversed = makeParser();
  feed(*reversed,
       "--AaB03x\r\nContent-Disposition: form-data; filename=\"pkg.zip\"; name=\"upload\"\r\n\r\nz\r\n" +
           closing,
       3);
  EXPECT_EQ(describe(*reversed), "[pkg.zip] file=pkg.zip type= content=z\n");
}

TEST_F(MpfdParserTest, UnusablePartHeadersAreRefusedWithAShortPrintableQuote)
{
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Content-Type: text/plain",
       "Accepted headers of field does not contain \"Content-Disposition: form-data;\"\nThe headers are: "
       "\"\\r\\nContent-Type: text/plain\""},
      {"Content-Disposition: form-data; name=\"a",
       "Cannot find closing quote of \"name=\" attribute.\nThe headers are: \"\\r\\nContent-Disposition: "
       "form-data; name=\"a\""},
  };
  for (const auto& [headers, error] : cases) {
    const std::string body = "--AaB03x\r\n" + headers + "\r\n\r\ndata\r\n" + closing;
    auto parser = makeParser();
    EXPECT_EQ(errorOf([&] { feed(*parser, body, 4); }), error);
  }

  // However much was sent, the text quotes a short prefix, escaped so that it stays one line.
  const std::string noisy = "\x01\\\xff" + std::string(Limits::maxUploadPartHeaderBytes, 'h');
  auto quoting = makeParser();
  EXPECT_EQ(
      errorOf([&] { feed(*quoting, "--AaB03x\r\n" + noisy.substr(0, 8000) + "\r\n\r\n", 4096); }),
      "Accepted headers of field does not contain \"Content-Disposition: form-data;\"\nThe headers are: "
      "\"\\r\\n\\x01\\\\\\xff" +
          std::string(200 - 5, 'h') + "...\"");
}

TEST_F(MpfdParserTest, LimitBoundsUnconsumedBytesNotTheBody)
{
  auto small = makeParser();
  small->SetMaxDataCollectorLength(100);
  const std::string preamble(100, 'p');
  small->AcceptSomeData(preamble.data(), preamble.size());
  EXPECT_EQ(errorOf([&] { small->AcceptSomeData("p", 1); }),
            "too large: Maximum data collector length reached.");

  // Headers that never end are refused by the first byte that makes them longer than their cap
  // (after the boundary, and not counting the CR LF CR LF that could still follow).
  auto endless = makeParser();
  std::string error;
  std::size_t fed = 0;
  endless->AcceptSomeData("--AaB03x\r\nContent-Disposition: form-data; ", 42);
  for (; error.empty() && fed < 20000000; ++fed) {
    error = errorOf([&] { endless->AcceptSomeData("h", 1); });
  }
  EXPECT_EQ(error, "too large: Part headers longer than " + std::to_string(Limits::maxUploadPartHeaderBytes) +
                       " bytes.");
  EXPECT_EQ(34 + fed - 3, Limits::maxUploadPartHeaderBytes + 1);

  // File content streams through: a body far above the limit passes in small chunks.
  std::string big(20 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) {
    big[i] = static_cast<char>(i * 7 + i / 4096);
  }
  auto large = makeParser();
  feed(*large, part("name=\"big\"; filename=\"big.bin\"", big) + closing, 32768);
  ASSERT_TRUE(large->GetField("big")->HasTempFile());
  EXPECT_TRUE(readText(large->GetField("big")->GetTempFileName()) == big);
}

TEST_F(MpfdParserTest, BodiesOverTheUploadLimitsAreTooLargeAndLeaveNoFiles)
{
  const std::string file = part("name=\"f[]\"; filename=\"f\"", "z");
  auto files = makeParser();
  for (std::size_t i = 0; i < Limits::maxUploadFileParts; ++i) {
    feed(*files, file, 100);
  }
  EXPECT_EQ(errorOf([&] { feed(*files, file, 100); }), "too large: More than " +
                                                           std::to_string(Limits::maxUploadFileParts) +
                                                           " file parts in one body.");
  EXPECT_EQ(filesInDir().size(), Limits::maxUploadFileParts);
  files.reset();
  EXPECT_TRUE(filesInDir().empty());

  auto fields = makeParser();
  for (std::size_t i = 0; i < Limits::maxUploadFields; ++i) {
    feed(*fields, part("name=\"t[]\"", "v"), 100);
  }
  EXPECT_EQ(errorOf([&] { feed(*fields, part("name=\"t\"", "v"), 100); }),
            "too large: More than " + std::to_string(Limits::maxUploadFields) + " fields in one body.");

  // A text field holds up to its cap and not a byte more.
  const std::string atCap(Limits::maxUploadTextFieldBytes, 't');
  auto fits = makeParser();
  feed(*fits, part("name=\"t\"", atCap) + closing, 5000);
  EXPECT_EQ(fits->GetField("t")->GetTextContent().size(), atCap.size());
  auto over = makeParser();
  EXPECT_EQ(errorOf([&] { feed(*over, part("name=\"t\"", atCap + "t") + closing, 5000); }),
            "too large: A text field is longer than " + std::to_string(Limits::maxUploadTextFieldBytes) +
                " bytes.");
  EXPECT_EQ(over->GetField("t")->GetTextContent().size(), atCap.size());
}

TEST_F(MpfdParserTest, OnlyThePartBeingReadHoldsADescriptorNeverInheritedByChildren)
{
  auto parser = makeParser();
  int most = 0;
  for (int i = 0; i < 40; ++i) {
    feed(*parser, part("name=\"f[]\"; filename=\"f\"", std::string(300, 'x')), 100);
    most = std::max(most, descriptorsIn(dir));
  }
  EXPECT_EQ(most, 1);
  feed(*parser, closing, 100);
  EXPECT_EQ(descriptorsIn(dir), 0);
  // Closed files are complete for readers that open them by name.
  EXPECT_EQ(filesInDir().size(), 40u);
  EXPECT_EQ(readText(parser->GetField("f39")->GetTempFileName()), std::string(300, 'x'));
}

TEST_F(MpfdParserTest, ParserDoesNotRemoveAFileThatReplacedItsTempFile)
{
  auto parser = makeParser();
  // Still open, so no other file can get its inode. (A closed file's name is never handed out
  // again by the process, so no other upload can take its place.)
  feed(*parser, part("name=\"f\"; filename=\"f\"", "mine, long enough to be written"), 1000);
  const std::string path = parser->GetField("f")->GetTempFileName();
  // The caller removed the file and somebody else put another one under its name.
  ASSERT_EQ(std::remove(path.c_str()), 0);
  writeText(path, "theirs");
  parser.reset();
  EXPECT_EQ(readText(path), "theirs");
}

// A full disk is checked end to end.
TEST_F(MpfdParserTest, FilesThatCannotBeWrittenFailTheUpload)
{
  auto parser = makeParser();
  parser->SetTempDir(dir + "/missing");
  const std::string missing = dir + "/missing/MPFD_Temp_" + std::to_string(nextNumber());
  EXPECT_EQ(errorOf([&] { feed(*parser, part("name=\"f\"; filename=\"f\"", "data") + closing, 1000); }),
            "Cannot write to file " + missing);
}

} // namespace
