#pragma once

#include <sys/socket.h>

#include <functional>
#include <memory>
#include <vector>

class ConnectionRegistry;
class PackageController;
class ProxyLoop;

// Takes every connection of the HTTP API first. Requests to the package proxy are served
// here, on a few event loops (ProxyLoop) that run the upstream transfers as well, so that a
// proxied request never changes thread and costs a handful of system calls. Every other request, and its
// connection from then on, goes to libmicrohttpd: the front end only peeks at a head it
// does not take, and has taken exactly the bytes of the requests it answered, so the library
// reads the connection from the first byte of that request.
//
// The front end's connections count against the same `ConnectionRegistry` places as the
// library's, with the same timeouts; an answer is held back from the upstream whenever the
// client is behind by Limits::maxProxyHeldBytes.
class ProxyFrontEnd {
public:
  // Gives `fd`, accepted from `address`, to the library for good; `upload` when its next
  // request is an upload. False when the library refused it; it has closed the socket then.
  using HandOff = std::function<bool(int fd, const sockaddr* address, socklen_t length, bool upload)>;

  ProxyFrontEnd(std::shared_ptr<PackageController> packages, ConnectionRegistry& connections,
                HandOff handOff);
  ProxyFrontEnd(const ProxyFrontEnd&) = delete;
  ProxyFrontEnd& operator=(const ProxyFrontEnd&) = delete;
  // Stops (see stop).
  ~ProxyFrontEnd();

  // Serves the non-blocking listening socket `listenSocket` (it stays the caller's) on
  // `loops` threads. False when a loop could not be set up; nothing runs then.
  bool start(int listenSocket, unsigned loops);

  // Stops accepting, cuts the answers in progress, closes every connection not handed on and
  // joins the threads.
  void stop();

private:
  friend class ProxyLoop;
  const std::shared_ptr<PackageController> packages;
  ConnectionRegistry& connections;
  const HandOff handOff;
  std::vector<std::unique_ptr<ProxyLoop>> loops;
};
