#pragma once

#include "camera/HttpManager.h"
#include "http/ArrivalRate.h"
#include "http/ChunkedDecoder.h"
#include "http/ProxyFrontEnd.h"
#include "http/ProxyTarget.h"
#include "http/RequestData.h"
#include "http/UpstreamResponse.h"
#include "util/UniqueFd.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class Package;
struct AnswerHead;

// One event loop of the front end (see ProxyFrontEnd): its client connections, the
// connections to package servers that carry their requests, and libcurl transfers for the
// answers that redirect elsewhere. Everything here runs on the loop's own thread.
// ProxyLoop.cpp holds the client side, ProxyUpstream.cpp the upstream side.
class ProxyLoop {
public:
  ProxyLoop(ProxyFrontEnd& owner, int listenSocket);
  ProxyLoop(const ProxyLoop&) = delete;
  ProxyLoop& operator=(const ProxyLoop&) = delete;
  ~ProxyLoop();

  bool start();
  void stop();

private:
  using Clock = std::chrono::steady_clock;
  struct Connection;

  // The epoll tag of a libcurl socket: this bit and the socket's number.
  static constexpr uint64_t curlSocketTag = uint64_t{1} << 63;
  // Whether a failed call on a non-blocking socket only has to wait.
  static bool wouldBlock();
  // When the upstream must have sent more, counted from now.
  static Clock::time_point upstreamDeadline();

  // What an epoll event names: a client connection or a connection to a package.
  struct Watched {
    enum class Kind { Client, Upstream };
    explicit Watched(Kind kind) : kind(kind) {}
    const Kind kind;
  };

  // A connection to a package's server, carrying one request at a time and kept open between
  // them when the package allows.
  struct UpstreamLink : Watched {
    UpstreamLink() : Watched(Kind::Upstream) {}
    UniqueFd fd;
    int port = 0;
    bool connected = false;
    // Carried an answer before: a failure before the next answer began may only mean that
    // the package closed it meanwhile, and the request is sent again on a new connection.
    bool reused = false;
    bool closed = false;
    // The package shut its side: an answer may still be read, but the link is not reused.
    bool peerClosed = false;
    Connection* client = nullptr;
    // The bytes of the client's request text (Transfer::requestText) sent so far.
    size_t sent = 0;
    UpstreamResponse response;
    // The client is behind: the rest of the answer waits in the socket.
    bool readPaused = false;
  };

  // One proxied request, from its forwarding to the last byte of the answer.
  struct Transfer {
    Transfer(ProxyLoop& loop, Connection& client) : loop(loop), client(client) {}
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer();
    // Takes the libcurl transfer out of the loop's multi handle, if it is in it.
    void detachCurl();

    ProxyLoop& loop;
    Connection& client;
    // Held for the whole transfer, so that the package cannot be freed while it is proxied to.
    std::shared_ptr<Package> package;
    int port = 0;
    // The request target for the package, and the client's header lines with the names of
    // its Connection header: forwarded as received, but for the hop-by-hop ones.
    std::string target;
    std::vector<std::pair<std::string, std::string>> fields;
    std::vector<std::string> connectionTokens;
    // Asked of the ETag cache: only a plain GET is.
    bool cached = false;
    ProxyTarget::Upstream upstream;
    std::string url;
    // The request as sent to the package, kept for a second attempt.
    std::string requestText;
    // The request goes over `link`; an answer that redirects is followed by libcurl instead,
    // through `curlRequest`.
    UpstreamLink* link = nullptr;
    bool retried = false;
    HttpManager::CacheTicket cacheTicket;
    std::unique_ptr<HttpManager::Request> curlRequest;
    bool curlAdded = false;
    // The body until the answer is known to outgrow one ETag cache entry.
    std::string held;
    // The answer's head is sent and its body goes to the client as it arrives.
    bool streaming = false;
    bool chunked = false;
    // libcurl keeps back a piece until the client has taken what is held.
    bool curlPaused = false;
    // Before streaming, when the upstream must have begun its body; while streaming, when it
    // must have sent more to a client that waits.
    Clock::time_point deadline;
  };

  struct Connection : Watched {
    Connection() : Watched(Kind::Client) {}
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
    std::unique_ptr<Transfer> transfer;

    size_t pending() const { return output.size() - sent; }
  };

  // The loop and its clients (ProxyLoop.cpp).
  void run();
  // Handles the events of one socket, contained.
  void dispatch(void* watched, uint32_t events);
  // Runs `work` for `client` (for `link` when there is no client). A fault in it costs that
  // connection, closed with a log line, never the loop and its other connections.
  template <class Work> void contained(Connection* client, UpstreamLink* link, Work&& work)
  {
    try {
      work();
    } catch (const std::exception& e) {
      dropAfterFault(client, link, e.what());
    } catch (...) {
      dropAfterFault(client, link, "unknown error");
    }
  }
  void dropAfterFault(Connection* client, UpstreamLink* link, const char* error);
  // Watches the listening socket; false when it cannot.
  bool listen();
  void acceptConnections();
  void onClientEvent(Connection& client, uint32_t events);
  void readRequest(Connection& client);
  void readBody(Connection& client);
  void answer(Connection& client, AnswerHead& head, const std::string& body);
  void answerNoAnswer(Connection& client, CURLcode code);
  // Answers `status` with `message` to a request that cannot be taken (it arrives too slowly,
  // or its body is broken or too large), and ends the connection.
  void refuseRequest(Connection& client, unsigned status, const std::string& message);
  static bool bodyComplete(const Connection& client);
  void flush(Connection& client);
  void answerSent(Connection& client);
  void handOff(Connection& client, bool upload = false);
  void close(Connection& client);
  void touch(Connection& client);
  void flushTouched();
  void sweep();

  // Transfers (ProxyUpstream.cpp).
  void startTransfer(Connection& client);
  void sendOnLink(Transfer& transfer);
  void onUpstreamEvent(UpstreamLink& link, uint32_t events);
  void writeUpstream(UpstreamLink& link);
  void readUpstream(UpstreamLink& link);
  void onUpstreamFailure(UpstreamLink& link, CURLcode code);
  void releaseLink(UpstreamLink& link, bool reusable);
  void closeLink(UpstreamLink& link);
  void followRedirect(Transfer& transfer, const std::string& location, int status);
  // Takes body bytes of the answer: held, or handed to the client as they come.
  // Takes body bytes of the answer: held while the answer may still be given whole, then
  // handed to the client as they come.
  void takeBody(Transfer& transfer, const char* data, size_t size);
  // Sends the answer's head, and from then on the body as it comes.
  void beginStreaming(Transfer& transfer);
  // Puts `head` into the client's output; the connection ends after the answer when either
  // the client or the head asks for it.
  static void writeHead(Connection& client, AnswerHead& head);
  void appendBody(Connection& client, const char* data, size_t size);
  // The answer is complete (`result` CURLE_OK) or failed.
  void finishTransfer(Connection& client, CURLcode result, HttpManager::Response* whole);
  void resumeReading(Transfer& transfer);
  void timeOut(Connection& client);
  void collectCurlDone();
  void driveCurl(curl_socket_t socket, int actions);
  static int onCurlSocket(CURL* handle, curl_socket_t socket, int what, void* self, void* socketData);
  static int onCurlTimer(CURLM* multi, long milliseconds, void* self);
  static size_t onCurlBody(char* data, size_t size, size_t count, void* self);

  struct MultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
  };

  ProxyFrontEnd& owner;
  const int listenSocket;
  UniqueFd epoll;
  UniqueFd wake;
  std::unique_ptr<CURLM, MultiDeleter> multi;
  // The listening socket is out of the epoll set while no descriptor is left for a connection.
  bool listenPaused = false;
  bool curlTimerSet = false;
  Clock::time_point curlDeadline;
  std::unordered_map<const Connection*, std::unique_ptr<Connection>> connections;
  std::unordered_map<const UpstreamLink*, std::unique_ptr<UpstreamLink>> links;
  // Idle links by the package port they lead to, the most recently used last.
  std::unordered_map<int, std::vector<UpstreamLink*>> idleLinks;
  // Connections whose output grew inside a callback, flushed once it returned.
  std::vector<Connection*> touched;
  // Closed during the events at hand, freed after them: a later event may still name one.
  std::vector<std::unique_ptr<Connection>> closed;
  std::vector<std::unique_ptr<UpstreamLink>> closedLinks;
  std::atomic<bool> stopping{false};
  std::thread thread;
};
