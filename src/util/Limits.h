#pragma once

// Orvane's whole resource envelope in one place: every queue, cache, buffer, body, field
// and connection count has its limit here, one line each with the reason. Tests use these
// names, never the numbers.

#include <cstddef>
#include <cstdint>

namespace Limits {

// JSON documents: parsed without recursion, refused beyond this nesting depth, so that a
// document of nested brackets can never exhaust a thread's stack.
constexpr size_t maxJsonDepth = 64;
// A package manifest holds a handful of short strings.
constexpr size_t maxManifestBytes = 64 * 1024;
// The package configurations parameter holds one small object per package.
constexpr size_t maxConfigurationsBytes = 1024 * 1024;

// HTTP API connections: a fixed number; when all are taken the oldest idle one makes room
// for a new one.
constexpr unsigned maxHttpConnections = 256;
// A new connection silent this long before its request head is complete is closed (a
// trickling one stays, but counts as idle, so it is the first to make room).
constexpr unsigned httpRequestHeadTimeoutSeconds = 5;
// A kept-alive connection between requests, and a request whose body stalls.
constexpr unsigned httpIdleTimeoutSeconds = 25;
// A request head not complete this long after its first byte (for a new connection, after
// the connection was made) is answered 408: a trickled head holds a place for nothing.
constexpr unsigned httpRequestHeadDeadlineSeconds = 10;
// A request body must arrive at least this fast, averaged over each window once the grace
// has passed, or it is answered 408 (closed, by libmicrohttpd): a body trickled a byte at a
// time holds a place, and it counts as busy, so no idle connection makes room for it.
constexpr unsigned minRequestBytesPerSecond = 1024;
constexpr unsigned requestRateGraceSeconds = 10;
constexpr unsigned requestRateWindowSeconds = 10;
// Bodies of every endpoint but the uploads; settings.json is the largest one expected.
constexpr size_t maxRequestBodyBytes = 1024 * 1024;

// Multipart uploads: files go to disk one at a time, everything else is held in memory.
constexpr size_t maxUploadFileParts = 256;
constexpr size_t maxUploadFields = 1024;
constexpr size_t maxUploadTextFieldBytes = 64 * 1024;
constexpr size_t maxUploadPartHeaderBytes = 8 * 1024;

// Zip archives on install and data import, refused before anything is written.
constexpr uint64_t maxArchiveUnpackedBytes = uint64_t{1} << 30;
constexpr uint64_t maxArchiveEntries = 100000;

// camera-events WebSocket connections and what one connection may hold.
constexpr unsigned maxWsConnections = 128;
constexpr size_t maxWsOutgoingBytes = 1024 * 1024;
constexpr size_t maxWsOutgoingMessages = 1024;
constexpr size_t maxWsDeclarationsPerConnection = 256;

// camera-events platform calls that may wait for the event service (declaring, withdrawing),
// made off the WebSocket service thread on at most this many threads: a stalled call holds
// one thread, the others serve the other connections; a connection whose requests pile up
// is not read until half of them are answered.
constexpr size_t wsPlatformThreads = 4;
constexpr size_t maxWsRequestsInProgress = 256;
constexpr size_t maxWsRequestBytesInProgress = 2 * 1024 * 1024;

// The HTTP client's ETag cache: a body larger than one entry is not cached.
constexpr size_t maxEtagEntryBytes = 1024 * 1024;
constexpr size_t maxEtagCacheBytes = 4 * 1024 * 1024;
// libcurl easy handles a thread keeps for its next transfers, with their connections: an
// event loop runs many transfers at once, a worker one.
constexpr size_t maxThreadCurlHandles = 64;
// The head of a package's answer to the proxy, as libcurl allows any answer's head.
constexpr size_t maxUpstreamHeadBytes = 100 * 1024;
// Kept-alive connections from one proxy loop to one package's server, for its next requests.
constexpr size_t maxIdleUpstreamConnections = 64;
// Proxies: the bytes of an upstream body held for a client that reads slower than it comes.
constexpr size_t maxProxyHeldBytes = 256 * 1024;

// Helper programs run for their output (uptime, the mDNS browser): a report's worth of text.
constexpr size_t maxExecOutputBytes = 1024 * 1024;

// Package supervision: each package's recent lines, and how many of them one log read gives.
constexpr size_t packageLogBytes = 64 * 1024;
constexpr size_t packageLogDefaultLines = 100;
constexpr size_t packageLogMaxLines = 1000;
// A package's lines copied into Orvane's own log (the camera's system log): a steady rate
// with room for a burst, so that a flooding package cannot fill the system log or keep
// Orvane busy copying; the rest stay in the package's own log, and their number is said
// once per period.
constexpr double packageLogCopyLinesPerSecond = 50;
constexpr double packageLogCopyBurstLines = 500;
constexpr unsigned packageLogOmittedReportSeconds = 10;
// What Orvane reads of one package's output a second: beyond it the package's pipe fills
// and its writes wait, so that a package printing as fast as it can costs Orvane a bounded
// share of a core (measured by bench/flood.sh) instead of as much as it can take.
constexpr size_t packageOutputBytesPerSecond = 1024 * 1024;

// Package memory: a limit's share given to V8's old space (--max-old-space-size), in
// percent, so that the garbage collector works hard before the process reaches the limit;
// how often the resident memory of a limited package is sampled where no cgroup memory
// controller enforces the limit; and the most processes a limited package's cgroup may hold.
constexpr unsigned packageHeapSharePercent = 75;
constexpr unsigned packageMemorySampleMs = 1000;
constexpr unsigned packageMaxProcesses = 512;
// A copy of a package's local data kept while a new version of it is on probation, to come
// back to should it fail; larger data is not copied (a rollback keeps the current data).
constexpr uint64_t maxKeptDataBytes = 64 * 1024 * 1024;

// HTTP connection memory: the request head, then a read buffer of half of it, which sets
// the size of an upload's chunks. Kept at the library's 32 KiB: above that the library maps
// each connection's pool afresh and clears it, which on this hardware cost every new
// connection 0.5-2.5 ms of CPU (256 KiB: 1.2 ms against 0.4 ms) for uploads a third faster.
// Still so without a thread per connection: 256 KiB made a Connection: close request 5x
// dearer (0.75 ms against 0.15 ms) for uploads a quarter faster; idle connections cost
// about 4 KiB each either way.
constexpr size_t httpConnectionMemoryBytes = 32 * 1024;
// Uploads are served by a daemon of their own, whose connections take the body in pieces of
// up to half this size (1 MiB). At most this many connections are there at once (each maps
// its pool afresh: 16 MiB at most, while they last); more uploads at once go to the main
// daemon, in smaller pieces. Connections wait for their first request in the proxy front
// end, without a pool; one kept alive after an upload keeps its pool and its place here
// until the idle timeout.
// Measured on this hardware against a bare recv()+write() receiver with 1 MiB pieces, same
// client, same loopback: 512 KiB gave 0.82x its speed (four times as many reads, each with
// its own poll), 2 MiB gives 0.91-0.95x. One that splice()d file content into its file was
// 2x slower, as finding the boundary then means mapping the file and reading it back.
constexpr size_t httpUploadConnectionMemoryBytes = 2 * 1024 * 1024;
constexpr unsigned maxHttpUploadConnections = 8;

// HTTP server threads: libmicrohttpd's main daemon runs this many event loops (the upload
// daemon one more); libmicrohttpd's handlers that may block (upstream transfers, archives,
// copies, helper programs) run on at most this many workers, and a request finding every
// worker busy and this many already waiting is answered 503.
constexpr unsigned httpEventThreads = 2;
constexpr unsigned httpWorkerThreads = 16;
constexpr size_t maxHttpQueuedRequests = 128;

// The front end's event loops. One takes busy connections in larger batches than two do:
// with two, the CPU per proxied request at 64 keep-alive connections was 1.3 times as high
// (bench/proxy.sh), as each loop woke for fewer requests and the two took turns with the
// packages' servers for the same cores. One loop is one core at most; a package's server,
// itself one thread, spends more per request than the loop does.
constexpr unsigned proxyLoops = 1;

// The pools of threads for work that may block (the HTTP workers, the camera-events platform
// calls) start none until there is work and end a thread idle this long: an idle Orvane keeps
// only its event loops, and a burst does not pay for a thread per request.
constexpr unsigned idleThreadSeconds = 30;
// glibc malloc arenas for the whole process: more cost an idle Orvane about 120 KiB of dirty
// pages (measured by bench/footprint) and buy nothing at this number of threads.
constexpr int mallocArenas = 2;

} // namespace Limits
