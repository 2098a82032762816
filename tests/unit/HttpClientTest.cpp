#include "camera/HttpClient.h"

#include "TestSupport.h"
#include "util/Limits.h"

#include <poll.h>
#include <sys/wait.h>

#include <atomic>
#include <map>
#include <mutex>

using namespace TestSupport;

namespace {

// A loopback HTTP/1.1 server that answers each request with the raw bytes its handler
// returns, one connection at a time, and records what it received.
class RawHttpServer {
public:
  struct Request {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers; // names lower-cased
    std::string body;
  };
  using Handler = std::function<std::string(const Request&)>;

  explicit RawHttpServer(Handler handler) : handler(std::move(handler)), listener(listenOnLoopback(port))
  {
    thread = std::thread([this] { serve(); });
  }

  ~RawHttpServer()
  {
    stopping = true;
    thread.join();
  }

  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }

  std::vector<Request> requests() const
  {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
  }

private:
  void serve()
  {
    while (!stopping) {
      pollfd ready{listener.get(), POLLIN, 0};
      if (poll(&ready, 1, 50) <= 0) {
        continue;
      }
      int connection = accept(listener.get(), nullptr, nullptr);
      if (connection >= 0) {
        answer(connection);
        close(connection);
      }
    }
  }

  // Reads the head, then as much body as its Content-Length announces.
  void answer(int connection)
  {
    std::string data;
    char buffer[4096];
    ssize_t count = 0;
    auto receive = [&] { return (count = recv(connection, buffer, sizeof buffer, 0)) > 0; };
    while (data.find("\r\n\r\n") == std::string::npos && receive()) {
      data.append(buffer, static_cast<size_t>(count));
    }
    const size_t headerEnd = data.find("\r\n\r\n");
    if (headerEnd == std::string::npos) {
      return;
    }
    Request request;
    std::istringstream head(data.substr(0, headerEnd) + "\r\n");
    std::string line;
    std::getline(head, line);
    std::istringstream(line) >> request.method >> request.target;
    while (std::getline(head, line)) {
      std::string name = line.substr(0, line.find(": "));
      for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      request.headers[name] = line.substr(name.size() + 2, line.size() - name.size() - 3);
    }
    request.body = data.substr(headerEnd + 4);
    const size_t bodyLength = std::stoul("0" + request.headers["content-length"]);
    while (request.body.size() < bodyLength && receive()) {
      request.body.append(buffer, static_cast<size_t>(count));
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      received.push_back(request);
    }
    const std::string reply = handler(request);
    send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
  }

  Handler handler;
  uint16_t port = 0;
  UniqueFd listener;
  std::atomic<bool> stopping{false};
  mutable std::mutex mutex;
  std::vector<Request> received;
  std::thread thread;
};

std::string reply(const std::string& status, const std::string& extraHeaders, const std::string& body)
{
  return "HTTP/1.1 " + status + "\r\n" + extraHeaders + "Content-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// Answers 304 to a request that names the entity tag "abc", else 200 tagged "abc".
std::string taggedResource(const RawHttpServer::Request& request)
{
  auto match = request.headers.find("if-none-match");
  if (match != request.headers.end() && match->second == "\"abc\"") {
    return reply("304 Not Modified", "ETag: \"abc\"\r\n", "");
  }
  return reply("200 OK", "ETag: \"abc\"\r\nX-Kind: stored\r\n", "the stored body");
}

class HttpClientTest : public testing::Test {
protected:
  void SetUp() override { HttpClient::trimCache(0); }
  void TearDown() override { HttpClient::trimCache(0); }
};

} // namespace

TEST_F(HttpClientTest, GetTrimsTheUrlFollowsRedirectsAndReturnsStatusEveryHeaderLineAndBody)
{
  RawHttpServer server([](const RawHttpServer::Request& request) {
    if (request.target == "/old") {
      return reply("302 Found", "Location: /thing?a=1\r\n", "");
    }
    return reply("201 Created", "X-One: 1\r\n", "hello");
  });
  auto response = HttpClient::get("  " + server.url("/old") + " \n", "", 5);

  EXPECT_EQ(response->curlCode, CURLE_OK);
  EXPECT_EQ(response->statusCode, 201);
  EXPECT_EQ(response->body, "hello");
  ASSERT_FALSE(response->headers.empty());
  EXPECT_EQ(response->headers.front(), "HTTP/1.1 302 Found\r\n");
  EXPECT_EQ(response->headers.back(), "\r\n");
  const auto& lines = response->headers;
  auto second = std::find(lines.begin(), lines.end(), "HTTP/1.1 201 Created\r\n");
  ASSERT_TRUE(second != lines.end() && second + 1 != lines.end());
  EXPECT_EQ(*(second + 1), "X-One: 1\r\n");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "\r\n"), 2);

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].target, "/thing?a=1");
}

TEST_F(HttpClientTest, ThreadReusesItsHandlesForOneRequestAtATimeWithEveryOptionReset)
{
  RawHttpServer server([](const RawHttpServer::Request&) { return reply("200 OK", "", "body"); });
  auto first = HttpClient::prepareGet(server.url("/a"), "", 5);
  const CURL* easy = first->handle();
  first.reset();
  CURL* unrelated = curl_easy_init(); // would take the memory of a freed handle
  auto second = HttpClient::prepareGet(server.url("/b"), "", 5);
  EXPECT_EQ(second->handle(), easy);
  EXPECT_NE(HttpClient::prepareGet(server.url("/c"), "", 5)->handle(), easy);
  curl_easy_cleanup(unrelated);
  second.reset();

  HttpClient::get(server.url("/head"), "", 5,
                  [](CURL* handle) { curl_easy_setopt(handle, CURLOPT_NOBODY, 1L); });
  EXPECT_EQ(HttpClient::get(server.url("/get"), "", 5)->body, "body");
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[1].method, "GET");
}

TEST_F(HttpClientTest, NotModifiedAnswerIsReplacedByTheStoredResponse)
{
  RawHttpServer server(taggedResource);
  auto first = HttpClient::get(server.url("/tagged"), "", 5);
  ASSERT_EQ(first->statusCode, 200);
  EXPECT_EQ(HttpClient::cacheSize(), 1u);

  auto second = HttpClient::get(server.url("/tagged"), "", 5);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].headers.count("if-none-match"), 0u);
  EXPECT_EQ(requests[1].headers["if-none-match"], "\"abc\"");
  EXPECT_EQ(second->statusCode, 200);
  EXPECT_EQ(second->curlCode, CURLE_OK);
  EXPECT_EQ(second->body, "the stored body");
  EXPECT_EQ(second->headers, first->headers);

  // The method is not part of the key: a POST to the same URL names the tag too.
  HttpClient::post(server.url("/tagged"), "x=1", "text/plain", "", 5);
  EXPECT_EQ(server.requests().back().headers["if-none-match"], "\"abc\"");

  // An entity tag without quotes is not stored.
  RawHttpServer unquoted(
      [](const RawHttpServer::Request&) { return reply("200 OK", "ETag: abc\r\n", "body"); });
  HttpClient::get(unquoted.url("/plain"), "", 5);
  HttpClient::get(unquoted.url("/plain"), "", 5);
  EXPECT_EQ(HttpClient::cacheSize(), 1u);
  EXPECT_EQ(unquoted.requests().back().headers.count("if-none-match"), 0u);
}

TEST_F(HttpClientTest, SixthTaggedUrlEvictsTheEntryStoredEarliest)
{
  RawHttpServer server(taggedResource);
  // "/b" is stored a second before the others, so it goes although "/a" sorts first.
  HttpClient::get(server.url("/b"), "", 5);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  for (const char* path : {"/a", "/c", "/d", "/e", "/f"}) {
    HttpClient::get(server.url(path), "", 5);
  }
  EXPECT_EQ(HttpClient::cacheSize(), 5u);

  HttpClient::get(server.url("/a"), "", 5);
  HttpClient::get(server.url("/b"), "", 5);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 8u);
  EXPECT_EQ(requests[6].headers["if-none-match"], "\"abc\"") << "/a should still be cached";
  EXPECT_EQ(requests[7].headers.count("if-none-match"), 0u) << "/b should have been evicted";

  HttpClient::trimCache(1);
  EXPECT_EQ(HttpClient::cacheSize(), 1u);
  HttpClient::trimCache(0);
  EXPECT_EQ(HttpClient::cacheSize(), 0u);
}

TEST_F(HttpClientTest, CacheSurvivesConcurrentRequests)
{
  RawHttpServer server(taggedResource);
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        auto response = HttpClient::get(server.url("/r" + std::to_string((t + i) % 7)), "", 5);
        good += response->statusCode == 200 && response->body == "the stored body";
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(good, 20);
  EXPECT_EQ(HttpClient::cacheSize(), 5u);
}

TEST_F(HttpClientTest, CacheStaysWithinItsByteBoundsAndALargerBodyIsNotStored)
{
  const std::string nearlyFull(Limits::maxEtagEntryBytes - 1024, 'n');
  const std::string tooLarge(Limits::maxEtagEntryBytes + 1, 'l');
  RawHttpServer server([&](const RawHttpServer::Request& request) {
    if (request.headers.count("if-none-match") != 0) {
      return reply("304 Not Modified", "ETag: \"abc\"\r\n", "");
    }
    return reply("200 OK", "ETag: \"abc\"\r\n", request.target == "/xl" ? tooLarge : nearlyFull);
  });
  for (int i = 0; i < 8; ++i) {
    HttpClient::get(server.url("/n" + std::to_string(i)), "", 5);
    EXPECT_LE(HttpClient::cacheBytes(), Limits::maxEtagCacheBytes);
  }
  EXPECT_EQ(HttpClient::get(server.url("/n7"), "", 5)->body, nearlyFull) << "the latest entry is replayed";
  EXPECT_EQ(server.requests().back().headers.count("if-none-match"), 1u);

  const size_t bytesBefore = HttpClient::cacheBytes();
  EXPECT_EQ(HttpClient::get(server.url("/xl"), "", 5)->body, tooLarge);
  EXPECT_EQ(HttpClient::get(server.url("/xl"), "", 5)->body, tooLarge);
  EXPECT_EQ(server.requests().back().headers.count("if-none-match"), 0u);
  EXPECT_EQ(HttpClient::cacheBytes(), bytesBefore);
}

TEST_F(HttpClientTest, TraceShowsPostBodiesCutAfterAThousandCharactersAndUsersButNoPasswords)
{
  RawHttpServer server([](const RawHttpServer::Request&) { return reply("200 OK", "", ""); });
  std::string withCredentials = server.url("/p?q=a@b");
  withCredentials.insert(std::string("http://").size(), "acap-user:s3cr3t@");
  std::string masked = withCredentials;
  masked.replace(masked.find("s3cr3t"), 6, "***");
  LogCapture log;
  HttpClient::post(server.url("/long"), std::string(1000, 'a') + std::string(500, 'b'), "text/plain", "", 5);
  HttpClient::post(server.url("/short"), "tiny", "text/plain", "", 5);
  HttpClient::get(withCredentials, "", 5);
  HttpClient::post(withCredentials, "x=1", "text/plain", "", 5);
  HttpClient::get(server.url("/plain@path"), "", 5);

  EXPECT_TRUE(log.contains("Http POST: " + server.url("/long") + "\n" + std::string(1000, 'a') + "...\n"));
  EXPECT_FALSE(log.contains("bbbb"));
  EXPECT_TRUE(log.contains("Http POST: " + server.url("/short") + "\ntiny\n"));
  EXPECT_TRUE(log.contains("Http GET: " + masked + "\n"));
  EXPECT_TRUE(log.contains("Http POST: " + masked + "\nx=1\n"));
  EXPECT_TRUE(log.contains("Http GET: " + server.url("/plain@path") + "\n"));
  EXPECT_FALSE(log.contains("s3cr3t"));
  ASSERT_EQ(server.requests().size(), 5u);
  EXPECT_EQ(server.requests()[0].body.size(), 1500u);
}

TEST(HttpClientHelpersTest, UrlEncodeKeepsOnlyUnreservedCharacters)
{
  EXPECT_EQ(HttpClient::urlEncode("aZ09-._~"), "aZ09-._~");
  EXPECT_EQ(HttpClient::urlEncode("a&b=c d/é"), "a%26b%3Dc%20d%2F%C3%A9");
  EXPECT_EQ(HttpClient::urlEncode(std::string("\0x", 2)), "%00x");
  EXPECT_EQ(HttpClient::urlEncode(""), "");
}

namespace {

// A self-signed certificate for 127.0.0.1, as <dir>/<name>.pem with its key in <name>.key.
std::string makeCertificate(const TempDir& dir, const std::string& name)
{
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=" + name +
      " -addext subjectAltName=IP:127.0.0.1 -keyout " + dir / name + ".key -out " + dir / name +
      ".pem 2>/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  return readText(dir / name + ".pem");
}

// openssl's test server on a free loopback port, presenting <dir>/server.pem; it answers
// "GET /" with 200 and a status page.
struct TlsServer {
  explicit TlsServer(const TempDir& dir)
  {
    listenOnLoopback(port);
    const std::string accept = "127.0.0.1:" + std::to_string(port);
    const std::string certificate = dir / "server.pem";
    const std::string key = dir / "server.key";
    pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_RDWR);
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      execlp("openssl", "openssl", "s_server", "-www", "-accept", accept.c_str(), "-cert",
             certificate.c_str(), "-key", key.c_str(), nullptr);
      _exit(127);
    }
  }
  ~TlsServer()
  {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port) + "/"; }

  uint16_t port = 0;
  pid_t pid = -1;
};

} // namespace

TEST(HttpClientHelpersTest, HttpsPeerIsTrustedOnlyThroughTheGivenCertificates)
{
  TempDir dir;
  const std::string identity = makeCertificate(dir, "server");
  const std::string stranger = makeCertificate(dir, "stranger");
  TlsServer server(dir);
  ASSERT_TRUE(
      eventually([&] { return HttpClient::get(server.url(), "", 5)->curlCode != CURLE_COULDNT_CONNECT; }));

  auto trusted = HttpClient::get(server.url(), stranger + identity, 5);
  EXPECT_EQ(trusted->curlCode, CURLE_OK);
  EXPECT_EQ(trusted->statusCode, 200);
  EXPECT_NE(trusted->body, "");

  for (const std::string& certificates : {std::string(), stranger}) {
    auto refused = HttpClient::get(server.url(), certificates, 5);
    EXPECT_EQ(refused->curlCode, CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_EQ(refused->statusCode, 500);
    EXPECT_EQ(refused->body, "");
  }
}
