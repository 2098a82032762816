#include "http/HttpCodec.h"

#include "util/Limits.h"

namespace {

bool isBlank(char c)
{
  return c == ' ' || c == '\t';
}

// A callback's answer that makes llhttp stop with an error.
constexpr int refuse = -1;
// What on_headers_complete answers for a message without a body.
constexpr int noBodyFollows = 1;
// The largest chunk: 15 hex digits. A longer size is no body anyone could send, only a way to
// make two readers disagree on where it ends.
constexpr uint64_t maxChunkBytes = (uint64_t{1} << 60) - 1;
// All extensions of one chunk together.
constexpr size_t maxChunkExtensionBytes = 4096;

} // namespace

// The callbacks are the same for every codec, and llhttp only reads them: one table serves all.
llhttp_settings_t* HttpCodec::callbacks()
{
  static llhttp_settings_t settings = [] {
    llhttp_settings_t table;
    llhttp_settings_init(&table);
    table.on_message_begin = onMessageBegin;
    table.on_url = onUrl;
    table.on_status = onStatus;
    table.on_method = onMethod;
    table.on_header_field = onHeaderField;
    table.on_header_value = onHeaderValue;
    table.on_header_value_complete = onHeaderValueComplete;
    table.on_headers_complete = onHeadersComplete;
    table.on_body = onBody;
    table.on_message_complete = onMessageComplete;
    table.on_chunk_header = onChunkHeader;
    table.on_chunk_extension_name = onChunkExtension;
    table.on_chunk_extension_value = onChunkExtension;
    table.on_chunk_complete = onChunkComplete;
    return table;
  }();
  return &settings;
}

HttpCodec::HttpCodec(Type type) : type(type)
{
  llhttp_init(&parser, type == Type::Request ? HTTP_REQUEST : HTTP_RESPONSE, callbacks());
  parser.data = this;
}

size_t HttpCodec::read(const char* data, size_t size, std::string& body)
{
  if (current == State::Done || current == State::Failed || size == 0) {
    return 0;
  }
  receivedAny = true;
  if (llhttp_get_errno(&parser) == HPE_PAUSED) {
    llhttp_resume(&parser);
  }
  chunkStart = data;
  bodySink = &body;
  const llhttp_errno_t result = llhttp_execute(&parser, data, size);
  bodySink = nullptr;
  size_t taken = size;
  if (result == HPE_PAUSED) {
    taken = static_cast<size_t>(llhttp_get_error_pos(&parser) - data);
  } else if (result != HPE_OK) {
    fail();
    const char* position = llhttp_get_error_pos(&parser);
    taken = position != nullptr ? static_cast<size_t>(position - data) : size;
  }
  if (taken > 0) {
    lastByteBefore = data[taken - 1];
  }
  if (current == State::Head) {
    // A head (with the interim heads before it) longer than this is no answer to wait for.
    headBytes += taken;
    if (headBytes > Limits::maxUpstreamHeadBytes) {
      fail();
    }
  }
  return taken;
}

void HttpCodec::closed()
{
  if (current == State::Body && endsWithClose) {
    current = State::Done;
  } else if (current == State::Head || current == State::Body) {
    fail();
  }
  keptAlive = false;
}

void HttpCodec::fail()
{
  headFailed = current == State::Head;
  current = State::Failed;
  keptAlive = false;
}

bool HttpCodec::readContentLength(std::string_view value, uint64_t& result)
{
  // The one reading of a length is llhttp's: a value from elsewhere is read in a head of its own.
  HttpCodec codec(Type::Request);
  codec.stopAfterHead();
  const std::string head = "PUT / HTTP/1.1\r\nContent-Length: " + std::string(value) + "\r\n\r\n";
  std::string body;
  codec.read(head.data(), head.size(), body);
  if (codec.state() != State::Body || !codec.hasContentLength()) {
    return false;
  }
  result = codec.contentLength();
  return true;
}

int HttpCodec::onMessageBegin(llhttp_t* parser)
{
  HttpCodec& codec = of(parser);
  codec.methodText.clear();
  codec.targetText.clear();
  codec.reasonText.clear();
  codec.headFields.clear();
  // Room for a usual head, so that the fields are not moved as it grows.
  codec.headFields.reserve(16);
  codec.inField = false;
  codec.trailers = false;
  codec.foldSeen = false;
  codec.foldBlanks = false;
  return 0;
}

int HttpCodec::onUrl(llhttp_t* parser, const char* at, size_t size)
{
  of(parser).targetText.append(at, size);
  return 0;
}

int HttpCodec::onStatus(llhttp_t* parser, const char* at, size_t size)
{
  of(parser).reasonText.append(at, size);
  return 0;
}

int HttpCodec::onMethod(llhttp_t* parser, const char* at, size_t size)
{
  of(parser).methodText.append(at, size);
  return 0;
}

// Trailers are not passed on: they are only counted, against a body that never ends.
int HttpCodec::countTrailer(size_t size)
{
  headBytes += size;
  return headBytes > Limits::maxUpstreamHeadBytes ? refuse : 0;
}

int HttpCodec::onHeaderField(llhttp_t* parser, const char* at, size_t size)
{
  HttpCodec& codec = of(parser);
  if (codec.trailers) {
    return codec.countTrailer(size);
  }
  if (!codec.inField) {
    codec.headFields.emplace_back();
    codec.inField = true;
  }
  codec.headFields.back().first.append(at, size);
  return 0;
}

int HttpCodec::onHeaderValue(llhttp_t* parser, const char* at, size_t size)
{
  HttpCodec& codec = of(parser);
  if (codec.trailers) {
    return codec.countTrailer(size);
  }
  codec.inField = false;
  std::string& value = codec.headFields.back().second;
  // A piece that begins a line of its own continues the value on a folded line (one that
  // begins the bytes of a read may too): the fold and the blanks around it become one space.
  const char before = at > codec.chunkStart ? at[-1] : codec.lastByteBefore;
  if (before == '\n') {
    codec.foldSeen = true;
    while (!value.empty() && isBlank(value.back())) {
      value.pop_back();
    }
    value += ' ';
    codec.foldBlanks = true;
  }
  while (codec.foldBlanks && size > 0 && isBlank(*at)) {
    ++at;
    --size;
  }
  codec.foldBlanks = codec.foldBlanks && size == 0;
  value.append(at, size);
  return 0;
}

int HttpCodec::onHeaderValueComplete(llhttp_t* parser)
{
  HttpCodec& codec = of(parser);
  codec.inField = false;
  if (codec.trailers || codec.headFields.empty()) {
    return 0;
  }
  // llhttp takes a line that begins with its colon for a field without a name.
  if (codec.headFields.back().first.empty()) {
    return refuse;
  }
  std::string& value = codec.headFields.back().second;
  size_t end = value.size();
  while (end > 0 && isBlank(value[end - 1])) {
    --end;
  }
  size_t begin = 0;
  while (begin < end && isBlank(value[begin])) {
    ++begin;
  }
  value.erase(end);
  value.erase(0, begin);
  return 0;
}

int HttpCodec::onHeadersComplete(llhttp_t* parser)
{
  HttpCodec& codec = of(parser);
  // Only HTTP/1.0 and HTTP/1.1 are spoken here: a message of another version is framed by
  // other rules.
  if (llhttp_get_http_major(parser) != 1 || llhttp_get_http_minor(parser) > 1) {
    return refuse;
  }
  codec.minorVersion = llhttp_get_http_minor(parser);
  codec.statusCode = llhttp_get_status_code(parser);
  codec.lengthGiven = (parser->flags & F_CONTENT_LENGTH) != 0;
  codec.length = parser->content_length;
  codec.encodingGiven = (parser->flags & F_TRANSFER_ENCODING) != 0;
  codec.chunkedBody = (parser->flags & F_CHUNKED) != 0;
  codec.trailers = codec.chunkedBody;
  bool bodyless = false;
  if (codec.type == Type::Answer) {
    // A status outside 100 to 599 has no meaning a client could act on, nor framing rules a
    // reader could follow; a switch of protocols is nothing this server can pass on.
    if (codec.statusCode < 100 || codec.statusCode > 599 || codec.statusCode == 101) {
      return refuse;
    }
    if (codec.statusCode < 200) {
      return noBodyFollows;
    }
    bodyless = codec.noBody || codec.statusCode == 204 || codec.statusCode == 304;
  }
  codec.endsWithClose = !bodyless && llhttp_message_needs_eof(parser) != 0;
  codec.keptAlive = llhttp_should_keep_alive(parser) != 0 && !codec.endsWithClose;
  codec.current = State::Body;
  if (codec.headOnly) {
    return HPE_PAUSED;
  }
  return bodyless ? noBodyFollows : 0;
}

int HttpCodec::onBody(llhttp_t* parser, const char* at, size_t size)
{
  HttpCodec& codec = of(parser);
  if (codec.bodySink != nullptr) {
    codec.bodySink->append(at, size);
  }
  return 0;
}

int HttpCodec::onMessageComplete(llhttp_t* parser)
{
  HttpCodec& codec = of(parser);
  if (codec.current == State::Head) {
    // An interim answer: nothing of it belongs to the final one that follows.
    return 0;
  }
  codec.keptAlive = codec.keptAlive && llhttp_should_keep_alive(parser) != 0;
  codec.current = State::Done;
  // The bytes after the message are the next one's, left to the caller.
  return HPE_PAUSED;
}

int HttpCodec::onChunkHeader(llhttp_t* parser)
{
  return parser->content_length > maxChunkBytes ? refuse : 0;
}

int HttpCodec::onChunkExtension(llhttp_t* parser, const char*, size_t size)
{
  HttpCodec& codec = of(parser);
  codec.extensionBytes += size;
  return codec.extensionBytes > maxChunkExtensionBytes ? refuse : 0;
}

int HttpCodec::onChunkComplete(llhttp_t* parser)
{
  of(parser).extensionBytes = 0;
  return 0;
}
