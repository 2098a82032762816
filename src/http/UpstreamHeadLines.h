#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The head of a package's or a camera's answer as libcurl hands it over: the raw lines of
// every head it read (interim heads and those of followed redirects among them), of which
// the last one counts.

// The name/value pairs of the last head in `lines`, last first; folded lines are unfolded,
// pairs with an empty value dropped, and a broken line ends the head.
std::vector<std::pair<std::string, std::string>> headersFromLines(const std::vector<std::string>& lines);

// The body length that the Content-Length of the last head of `lines` announces; -1 when
// none does, or the body came chunked.
int64_t bodyLengthFromLines(const std::vector<std::string>& lines);
