#pragma once

#include "packages/CrashLoopPolicy.h"

#include <chrono>
#include <string>

// Shorter timings for end-to-end tests, from the environment variable ORVANE_TEST_TIMINGS,
// read once at start-up: comma-separated NAME=SECONDS pairs (decimals allowed), of
// "tick" (the package start period), "short" (a run shorter is a crash), "crashes" (a
// count: crashes in a row that make a crash loop), "delay" (the first wait in a loop),
// "max" (the longest wait), "stable" (a run that ends a loop), "lograte" (a count: the
// lines a second, and ten times as many at once, that a package may have copied into
// Orvane's log) and "outrate" (a count: the bytes a second read of a package's output);
// benchmarks lift those limits with the last two. Names not given keep their defaults.
struct TestTimings {
  std::chrono::milliseconds startPeriod;
  CrashLoopTimings crashLoop;
  double logCopyLinesPerSecond;
  double outputBytesPerSecond;
};

// The timings `text` gives over the defaults. An unknown name or a value that is not a
// positive number is logged and ignored.
TestTimings parseTestTimings(const std::string& text);
