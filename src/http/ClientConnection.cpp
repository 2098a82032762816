#include "http/ClientConnection.h"

#include "http/AnswerHead.h"
#include "http/ProxyTransfer.h"
#include "util/Limits.h"
#include "util/SystemUtils.h"

#include <algorithm>
#include <cerrno>

namespace {

// What one read of a request body takes.
constexpr size_t bodyReadBytes = 64 * 1024;
// What one read of a request that is dropped takes, and how many such reads are made.
constexpr size_t discardReadBytes = 8 * 1024;
constexpr int discardReads = 16;

} // namespace

ClientConnection::ClientConnection() : ProxyEventSource(Kind::Client) {}

// Here, where a transfer is a complete type.
ClientConnection::~ClientConnection() = default;

void ClientConnection::writeHead(AnswerHead& head)
{
  head.close = head.close || closeAfterAnswer;
  head.appendTo(output);
  closeAfterAnswer = head.close;
}

ClientConnection::Progress ClientConnection::send()
{
  while (pending() > 0) {
    const ssize_t size = ::send(fd.get(), output.data() + sent, pending(), MSG_NOSIGNAL);
    if (size < 0) {
      if (errno == EINTR) {
        continue;
      }
      return SystemUtils::wouldBlock() ? Progress::Waiting : Progress::Failed;
    }
    sent += static_cast<size_t>(size);
    lastActivity = Clock::now();
  }
  output.clear();
  sent = 0;
  if (output.capacity() > 2 * Limits::maxEtagEntryBytes) {
    output.shrink_to_fit();
  }
  return Progress::Done;
}

bool ClientConnection::bodyComplete() const
{
  return chunkedBody ? chunks.state() != ChunkedDecoder::State::Reading : bodyLeft == 0;
}

ClientConnection::BodyProgress ClientConnection::readBody()
{
  while (!bodyComplete()) {
    char buffer[bodyReadBytes];
    const ssize_t size =
        recv(fd.get(), buffer, chunkedBody ? sizeof buffer : std::min(sizeof buffer, bodyLeft),
             chunkedBody ? MSG_PEEK : 0);
    if (size <= 0) {
      return size == 0 || !SystemUtils::wouldBlock() ? BodyProgress::Gone : BodyProgress::Waiting;
    }
    lastActivity = Clock::now();
    if (!chunkedBody) {
      request.body.append(buffer, static_cast<size_t>(size));
      bodyLeft -= static_cast<size_t>(size);
      continue;
    }
    const size_t used = chunks.read(buffer, static_cast<size_t>(size), request.body);
    if (recv(fd.get(), buffer, used, 0) != static_cast<ssize_t>(used)) {
      return BodyProgress::Gone;
    }
    if (chunks.state() == ChunkedDecoder::State::Failed) {
      return BodyProgress::BrokenFraming;
    }
    if (request.body.size() > Limits::maxRequestBodyBytes) {
      return BodyProgress::TooLarge;
    }
  }
  return BodyProgress::Complete;
}

void ClientConnection::dropQueuedInput()
{
  char discarded[discardReadBytes];
  for (int i = 0; i < discardReads && recv(fd.get(), discarded, sizeof discarded, 0) > 0; ++i) {
  }
}
