#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The head of a package's or a camera's answer as libcurl hands it over: the raw lines of
// every head it read (interim heads and those of followed redirects among them), of which
// the last one counts.

// The last head in `lines`: its name/value pairs, last first (folded lines are unfolded,
// pairs with an empty value dropped, and a broken line ends the head), and the body length
// its Content-Length announces (-1 when none does, or the body came chunked).
struct UpstreamHead {
  std::vector<std::pair<std::string, std::string>> headers;
  int64_t bodyLength = -1;
};
UpstreamHead readUpstreamHead(const std::vector<std::string>& lines);

// The pairs of readUpstreamHead alone.
std::vector<std::pair<std::string, std::string>> headersFromLines(const std::vector<std::string>& lines);
// The same pairs in the order they came.
std::vector<std::pair<std::string, std::string>> sentFields(const std::vector<std::string>& lines);
