#pragma once

#include "http/ArrivalRate.h"
#include "http/ChunkedDecoder.h"
#include "http/ProxyEventSource.h"
#include "http/RequestData.h"
#include "util/UniqueFd.h"

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

struct AnswerHead;
struct ProxyTransfer;

// A client connection of the proxy front end: the request it is receiving, the answer
// waiting to be sent, and where it stands between them. Its requests are taken exactly: a
// head is peeked at before it is taken, and a body read no further than its end, so that a
// pipelined request behind it stays in the socket.
struct ClientConnection : ProxyEventSource {
  using Clock = std::chrono::steady_clock;

  ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;
  ~ClientConnection();

  size_t pending() const { return output.size() - sent; }

  // Puts `head` into `output`; the connection ends after the answer when either the client or
  // the head asks for it.
  void writeHead(AnswerHead& head);

  enum class Progress { Done, Waiting, Failed };
  // Sends what is pending of `output`, as far as the socket takes it: Done once all of it is
  // sent (`output` is emptied then), Waiting for the next writable edge, Failed when the peer
  // is gone.
  Progress send();

  enum class BodyProgress { Complete, Waiting, Gone, BrokenFraming, TooLarge };
  // Reads on the request body into `request.body`, up to its end and not a byte further:
  // Complete once it is in, Waiting for more to arrive, Gone when the client closed or the
  // connection failed, BrokenFraming for a chunked body that breaks its framing, TooLarge once
  // a chunked body outgrows Limits::maxRequestBodyBytes (a Content-Length one is refused
  // before it is read).
  BodyProgress readBody();
  bool bodyComplete() const;

  // Reads and drops what waits of the request: closing over unread bytes would reset the
  // connection before the client could read why it ends.
  void dropQueuedInput();

  UniqueFd fd;
  sockaddr_storage address{};
  socklen_t addressLength = 0;
  enum class Stage { Head, Body, Answering, Closed };
  Stage stage = Stage::Head;
  RequestData request;
  // What is left of a Content-Length body, or the state of a chunked one.
  size_t bodyLeft = 0;
  bool chunkedBody = false;
  ChunkedDecoder chunks;
  // An HTTP/1.0 client: no chunked answers.
  bool http10 = false;
  bool closeAfterAnswer = false;
  // The client shut its sending side: the connection ends after the answer in progress.
  bool peerClosed = false;
  bool answeredOne = false;
  std::string output;
  size_t sent = 0;
  // The rest of the answer is in `output`: once it is sent, the next request may come.
  bool answerWritten = false;
  // Already in the loop's list of connections to flush.
  bool touched = false;
  // Bytes of a next request may wait in the queue: they came with this one, or while it was
  // answered, when the edge that told of them was spent.
  bool inputPending = false;
  Clock::time_point lastActivity = Clock::now();
  // When the head in progress began: when the connection was made, then at the first byte
  // after each answer. Its deadline runs only while `headBegun`.
  bool headBegun = true;
  Clock::time_point headSince = Clock::now();
  // How fast the body arrives, and whether the registry was told that it is still arriving.
  ArrivalRate arrival;
  bool receivingReported = false;
  std::unique_ptr<ProxyTransfer> transfer;
};
