#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct RequestData;

// Where the two proxies send a request: the package proxy to a package's own HTTP server on
// the loopback address, the camera proxy to another camera named in the request's headers.
namespace ProxyTarget {

// `arguments` as "name=value" pairs, both URL-encoded, in name order, joined by "&".
std::string upstreamQuery(const std::map<std::string, std::string>& arguments);

// A URL path such as "/proxy/myapp/api/state" taken apart at its first piece that is the
// word of its route: "proxy_public" when `isPublic`, "proxy" otherwise. The word that chose the
// port names the package, so that a path below one package's prefix never reaches another
// package or the other port. `valid` is false when no piece is that word, or nothing follows it.
struct PackageRoute {
  bool valid = false;
  std::string packageName;
  // The pieces after the package name joined with "/", without a leading "/".
  std::string path;
};
PackageRoute packageRoute(const std::string& url, bool isPublic);

// A request target as sent, "/proxy/myapp/api/state?x=1", taken apart like `packageRoute`
// does a path, but keeping the rest as the client wrote it: `target` is "/" + the pieces
// after the package name + the query with its "?", byte for byte ("/api/state?x=1").
struct PackageTarget {
  bool valid = false;
  std::string packageName;
  std::string target;
};
PackageTarget packageTarget(const std::string& requestTarget, bool isPublic);

// The other camera of a camera-proxy request, from its "x-target-camera-*" headers.
struct CameraTarget {
  // "http" only when the header says exactly that, "https" otherwise.
  std::string protocol;
  std::string ip;
  std::string port;
  // As sent, with "?" + query appended when the query is not empty.
  std::string path;
  // URL-encoded.
  std::string user;
  std::string password;
  // True only when the protocol header is exactly "https".
  bool verifyCertificate = false;
};
CameraTarget cameraTarget(const RequestData& request, const std::string& query);

// False when the ip or the port is missing.
bool isComplete(const CameraTarget& target);

// protocol "://" [user ":" password "@"] ip [":" port] path.
std::string cameraUrl(const CameraTarget& target);

// How long a proxied request waits for its upstream to begin an answer, and again for every
// piece a client waits for. No limit on the whole transfer: a large body may take longer to
// reach a slow client.
constexpr long upstreamTimeoutSeconds = 10;

// Who is behind a proxy request, for the answers and log lines that are not the upstream's own.
struct Upstream {
  std::string name;        // "package NAME" or "camera HOST"
  std::string packageName; // empty for the camera proxy
};

// The status a client gets for the upstream's: a 401 from behind the proxy becomes 400, so
// that the browser does not ask for the camera's own credentials.
unsigned clientStatus(int32_t upstreamStatus);

// Whether `status` can stand as an answer's final status (200 to 599, as libcurl hands over
// only the final head). Any other is a failed transfer: no client could act on it, and its
// body would have no framing.
bool isFinalStatus(int32_t status);

// The message of the 500 answer to a transfer that brought no answer.
std::string noAnswerMessage(const Upstream& upstream);

// Logs a failure answer passed on to the client: a package's non-2xx answer as one Warning
// line naming it, a camera's non-200 answer with the start of its `body` at Error.
void logFailureAnswer(const Upstream& upstream, const RequestData& request, unsigned status,
                      const std::string& body);

} // namespace ProxyTarget
