#include "http/ChunkedDecoder.h"

#include <gtest/gtest.h>

namespace {

using State = ChunkedDecoder::State;

// Feeds `bytes` in pieces of `piece` bytes; returns the body, and what follows it in `rest`.
std::string decode(ChunkedDecoder& decoder, const std::string& bytes, size_t piece, std::string& rest)
{
  std::string body;
  size_t offset = 0;
  while (offset < bytes.size() && decoder.state() == State::Reading) {
    offset += decoder.read(bytes.data() + offset, std::min(piece, bytes.size() - offset), body);
  }
  rest = bytes.substr(offset);
  return body;
}

} // namespace

TEST(ChunkedDecoderTest, TakesOffTheFramingInAnyPiecesAndStopsAtTheBodysEnd)
{
  const std::string bytes =
      "5;ext=1\r\nhello\r\nB;a=\"b\"\r\n, the world\r\n0\r\nTrailer: x\r\n\r\nGET / HTTP/1.1";
  for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, bytes.size()}) {
    ChunkedDecoder decoder;
    std::string rest;
    EXPECT_EQ(decode(decoder, bytes, piece, rest), "hello, the world") << piece;
    EXPECT_EQ(decoder.state(), State::Done);
    EXPECT_EQ(rest, "GET / HTTP/1.1");
  }
}

TEST(ChunkedDecoderTest, RefusesFramingThatAnotherReaderCouldReadDifferently)
{
  for (const std::string& bytes : std::vector<std::string>{
           "5\nhello\r\n0\r\n\r\n",                // bare LF after the size
           "5\r\nhello\n0\r\n\r\n",                // bare LF after the data
           "5\r\nhelloX\r\n0\r\n\r\n",             // data longer than its size
           "-5\r\nhello\r\n0\r\n\r\n",             // a sign
           "0x5\r\nhello\r\n0\r\n\r\n",            // a prefix
           "1000000000000000\r\n",                 // 16 hex digits: beyond any body
           "5 5\r\nhello\r\n0\r\n\r\n",            // blanks inside the size
           "5 ;a\r\nhello\r\n0\r\n\r\n",           // blanks before an extension
           "\r\n",                                 // no size
           "5\r\nhello\r\n0\r\nX: a\rb\r\n\r\n",   // a CR inside a trailer
           "5;" + std::string(5000, 'e') + "\r\n", // an endless size line
       }) {
    ChunkedDecoder decoder;
    std::string rest;
    decode(decoder, bytes, 3, rest);
    EXPECT_EQ(decoder.state(), State::Failed) << bytes.substr(0, 40);
  }
}
