#pragma once

#include "http/ProxyEventSource.h"
#include "http/UpstreamResponse.h"
#include "util/UniqueFd.h"

#include <cstddef>
#include <string>

class ClientConnection;

// A connection to a package's server on 127.0.0.1, carrying one request at a time and kept
// open between them when the package allows (see UpstreamPool).
struct UpstreamConnection : ProxyEventSource {
  explicit UpstreamConnection(int port) : ProxyEventSource(Kind::Upstream), port(port) {}

  // Starts connecting without waiting; `connected` tells whether it is done already. False
  // when the socket cannot be made or the connection was refused at once.
  bool connect();
  // After the first writable (or failed) edge of a connection being made: whether it was
  // made. From then on `connected` is set.
  bool connectFinished();

  enum class Progress { Done, Waiting, Failed };
  // Sends what is left of `text` after the first `sent` bytes, as far as the socket takes it
  // (nothing before the connection is made): Done once every byte is sent, Waiting for the
  // next writable edge, Failed when the peer is gone.
  Progress send(const std::string& text);

  UniqueFd fd;
  const int port;
  bool connected = false;
  // Carried an answer before: a failure before the next answer began may only mean that
  // the package closed it meanwhile, and the request is sent again on a new connection.
  bool reused = false;
  bool closed = false;
  // The package shut its side: an answer may still be read, but the connection is not reused.
  bool peerClosed = false;
  // The client whose request it carries; none while it is idle.
  ClientConnection* client = nullptr;
  // The bytes of the request text sent so far.
  size_t sent = 0;
  UpstreamResponse response;
  // The client is behind: the rest of the answer waits in the socket.
  bool readPaused = false;
};
