#pragma once

#include <llhttp.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One HTTP/1.1 message read with llhttp in strict mode, as the bytes arrive: a client's
// request or a package's answer, its head and then its body with the framing taken off.
// Every reader of HTTP/1.1 of this server's own (libmicrohttpd reads for itself) is one of
// these, so that the front end, the package side and libcurl's header lines all agree on
// where a message ends. An answer's
// interim 1xx heads are read and dropped; a message ends at most once, and bytes after it are
// left to the caller.
class HttpCodec {
public:
  enum class Type { Request, Answer };
  enum class State { Head, Body, Done, Failed };
  using Fields = std::vector<std::pair<std::string, std::string>>;

  explicit HttpCodec(Type type);
  HttpCodec(const HttpCodec&) = delete;
  HttpCodec& operator=(const HttpCodec&) = delete;

  // Stops once the head is read: `read` returns the head's length, and reads no body.
  void stopAfterHead() { headOnly = true; }
  // The answer has no body whatever its head announces (the answer to a HEAD request).
  void skipBody() { noBody = true; }

  // Reads the next `size` bytes, appending body bytes to `body`. Returns the bytes taken:
  // fewer than `size` only once the message (or with stopAfterHead, its head) is done, or
  // when it failed.
  size_t read(const char* data, size_t size, std::string& body);
  // The peer closed the connection: ends a body that runs until then, fails any other
  // message not yet done.
  void closed();

  State state() const { return current; }
  // Whether the message failed before its head was complete.
  bool failedInHead() const { return headFailed; }
  // Whether any byte of the message arrived.
  bool started() const { return receivedAny; }

  // The head, valid once the state is past Head.
  const std::string& method() const { return methodText; }
  // The request target as sent.
  const std::string& target() const { return targetText; }
  int status() const { return statusCode; }
  const std::string& reason() const { return reasonText; }
  bool http10() const { return minorVersion == 0; }
  // Every header line in order: its name as sent, its value without the blanks around it;
  // a folded value is unfolded, each fold one space.
  const Fields& fields() const { return headFields; }
  // The fields, taken out of the codec.
  Fields takeFields() { return std::move(headFields); }
  // A header line was folded over several lines.
  bool folded() const { return foldSeen; }
  bool hasContentLength() const { return lengthGiven; }
  // The body's length as the Content-Length announced it; 0 when none did.
  uint64_t contentLength() const { return length; }
  bool hasTransferEncoding() const { return encodingGiven; }
  // The last transfer coding is chunked.
  bool chunked() const { return chunkedBody; }
  // The body runs until the connection closes.
  bool untilClose() const { return endsWithClose; }
  // Whether the connection may carry another message after this one.
  bool keepAlive() const { return keptAlive; }

  // A Content-Length value read as this codec reads it in a head: digits only, no sign.
  static bool readContentLength(std::string_view value, uint64_t& result);

private:
  static int onMessageBegin(llhttp_t* parser);
  static int onUrl(llhttp_t* parser, const char* at, size_t size);
  static int onStatus(llhttp_t* parser, const char* at, size_t size);
  static int onMethod(llhttp_t* parser, const char* at, size_t size);
  static int onHeaderField(llhttp_t* parser, const char* at, size_t size);
  static int onHeaderValue(llhttp_t* parser, const char* at, size_t size);
  static int onHeaderValueComplete(llhttp_t* parser);
  static int onHeadersComplete(llhttp_t* parser);
  static int onBody(llhttp_t* parser, const char* at, size_t size);
  static int onMessageComplete(llhttp_t* parser);
  static int onChunkHeader(llhttp_t* parser);
  static int onChunkExtension(llhttp_t* parser, const char* at, size_t size);
  static int onChunkComplete(llhttp_t* parser);
  static llhttp_settings_t* callbacks();
  static HttpCodec& of(llhttp_t* parser) { return *static_cast<HttpCodec*>(parser->data); }

  void fail();
  int countTrailer(size_t size);

  llhttp_t parser{};
  const Type type;
  State current = State::Head;
  bool headOnly = false;
  bool noBody = false;
  bool receivedAny = false;
  bool headFailed = false;
  // Where the bytes handed to the current `read` begin, to tell a folded value from one
  // split over two reads.
  const char* chunkStart = nullptr;
  char lastByteBefore = '\0';
  // The blanks that begin a folded line are still being skipped.
  bool foldBlanks = false;
  std::string* bodySink = nullptr;
  // Head bytes counted so far, interim heads included, then those of a chunked body's
  // trailers: both are bounded.
  size_t headBytes = 0;
  // Bytes of the current chunk's extensions, which are read past but bounded.
  size_t extensionBytes = 0;
  bool inField = false;
  bool trailers = false;
  std::string methodText;
  std::string targetText;
  int statusCode = 0;
  std::string reasonText;
  int minorVersion = 1;
  Fields headFields;
  bool foldSeen = false;
  bool lengthGiven = false;
  uint64_t length = 0;
  bool encodingGiven = false;
  bool chunkedBody = false;
  bool endsWithClose = false;
  bool keptAlive = false;
};
