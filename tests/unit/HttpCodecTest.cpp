#include "http/HttpCodec.h"
#include "http/HttpWriter.h"

#include <gtest/gtest.h>

TEST(HttpCodecTest, ContentLengthIsDigitsOnly)
{
  uint64_t length = 7;
  EXPECT_TRUE(HttpCodec::readContentLength("0", length));
  EXPECT_EQ(length, 0U);
  EXPECT_TRUE(HttpCodec::readContentLength("1048576", length));
  EXPECT_EQ(length, 1048576U);
  for (const char* value : {"", "+1", "-1", "1 2", "0x10", "1,1", "99999999999999999999999"}) {
    EXPECT_FALSE(HttpCodec::readContentLength(value, length)) << value;
  }
}

TEST(HttpCodecTest, WhatTheWriterFramesReadsBackWholeAndEndsWhereItShould)
{
  for (const auto framing : {HttpWriter::Framing::Chunked, HttpWriter::Framing::Length}) {
    std::string text;
    HttpWriter::appendHead(text, "PUT /a?b HTTP/1.1",
                           {{"X-One", "1"}, {"X-Broken", "a\r\nX-Smuggled: 1"}, {"X-Two", "two words"}},
                           framing, 11);
    HttpWriter::appendBody(text, framing, "hello", 5);
    HttpWriter::appendBody(text, framing, "", 0);
    HttpWriter::appendBody(text, framing, " world", 6);
    HttpWriter::appendEnd(text, framing);
    text += "GET / HTTP/1.1\r\n\r\n";
    HttpCodec codec(HttpCodec::Type::Request);
    std::string body;
    const size_t taken = codec.read(text.data(), text.size(), body);
    EXPECT_EQ(codec.state(), HttpCodec::State::Done);
    EXPECT_EQ(text.substr(taken), "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(body, "hello world");
    EXPECT_EQ(codec.method(), "PUT");
    EXPECT_EQ(codec.target(), "/a?b");
    // A field that a line break would end early is left out.
    ASSERT_EQ(codec.fields().size(), 3U);
    EXPECT_EQ(codec.fields()[1], (HttpCodec::Fields::value_type{"X-Two", "two words"}));
    EXPECT_EQ(codec.chunked(), framing == HttpWriter::Framing::Chunked);
  }
}
