#include "http/UpstreamResponse.h"

UpstreamResponse::UpstreamResponse() : codec(std::make_unique<HttpCodec>(HttpCodec::Type::Answer)) {}

void UpstreamResponse::fail(CURLcode code)
{
  current = State::Failed;
  failure = code;
}

size_t UpstreamResponse::read(const char* data, size_t size, std::string& body)
{
  if (current != State::Head && current != State::Body) {
    return 0;
  }
  const size_t taken = codec->read(data, size, body);
  follow();
  return taken;
}

void UpstreamResponse::closed()
{
  if (current != State::Head && current != State::Body) {
    return;
  }
  codec->closed();
  if (codec->state() == HttpCodec::State::Failed) {
    fail(!codec->started()        ? CURLE_GOT_NOTHING
         : current == State::Head ? CURLE_RECV_ERROR
                                  : CURLE_PARTIAL_FILE);
    return;
  }
  follow();
}

// Takes on the codec's state; the head, once complete, is kept (also when the body failed in
// the same read, so that what is known of an answer does not depend on its pieces).
void UpstreamResponse::follow()
{
  const HttpCodec::State state = codec->state();
  if (state == HttpCodec::State::Head) {
    return;
  }
  const bool headRead = state != HttpCodec::State::Failed || !codec->failedInHead();
  if (current == State::Head && headRead) {
    // Two framings at once leave the body's end to whichever the reader believes.
    if (codec->hasContentLength() && codec->hasTransferEncoding()) {
      fail(CURLE_WEIRD_SERVER_REPLY);
      return;
    }
    headKept = true;
  }
  current = state == HttpCodec::State::Body   ? State::Body
            : state == HttpCodec::State::Done ? State::Done
                                              : current;
  if (state == HttpCodec::State::Failed) {
    fail(headRead ? CURLE_RECV_ERROR : CURLE_WEIRD_SERVER_REPLY);
  }
}

int64_t UpstreamResponse::announcedLength() const
{
  return codec->hasContentLength() && !codec->chunked() ? static_cast<int64_t>(codec->contentLength()) : -1;
}

const HttpCodec::Fields& UpstreamResponse::fields() const
{
  static const HttpCodec::Fields none;
  return headKept ? codec->fields() : none;
}

HttpCodec::Fields UpstreamResponse::takeFields()
{
  headKept = false;
  lines.clear();
  return codec->takeFields();
}

const std::vector<std::string>& UpstreamResponse::headerLines() const
{
  if (headKept && lines.empty()) {
    lines.push_back("HTTP/1." + std::string(codec->http10() ? "0 " : "1 ") + std::to_string(codec->status()) +
                    (codec->reason().empty() ? "" : " " + codec->reason()) + "\r\n");
    for (const auto& field : codec->fields()) {
      lines.push_back(field.first + ": " + field.second + "\r\n");
    }
    lines.emplace_back("\r\n");
  }
  return lines;
}
