#include "http/UpstreamConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

bool UpstreamConnection::connect()
{
  fd.reset(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int noDelay = 1;
  const bool made = fd && setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) == 0;
  connected = made && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  return made && (connected || errno == EINPROGRESS);
}

bool UpstreamConnection::connectFinished()
{
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    return false;
  }
  connected = true;
  return true;
}

UpstreamConnection::Progress UpstreamConnection::send(const std::string& text)
{
  if (!connected) {
    return Progress::Waiting;
  }
  while (sent < text.size()) {
    const ssize_t size = ::send(fd.get(), text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (size < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno == EAGAIN || errno == EWOULDBLOCK ? Progress::Waiting : Progress::Failed;
    }
    sent += static_cast<size_t>(size);
  }
  return Progress::Done;
}
