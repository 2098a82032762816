#include "http/ChunkedDecoder.h"

#include <string_view>

size_t ChunkedDecoder::read(const char* data, size_t size, std::string& body)
{
  if (!codec) {
    // The codec reads a body only as part of a message: the head that the front end took off
    // the connection is given again, as far as the body's framing goes. Made on first use,
    // since most requests come without a chunked body.
    constexpr std::string_view head = "PUT / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    codec = std::make_unique<HttpCodec>(HttpCodec::Type::Request);
    codec->stopAfterHead();
    std::string none;
    codec->read(head.data(), head.size(), none);
  }
  return codec->read(data, size, body);
}

ChunkedDecoder::State ChunkedDecoder::state() const
{
  switch (codec ? codec->state() : HttpCodec::State::Body) {
  case HttpCodec::State::Done:
    return State::Done;
  case HttpCodec::State::Failed:
    return State::Failed;
  default:
    return State::Reading;
  }
}
