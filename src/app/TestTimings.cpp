#include "app/TestTimings.h"

#include "app/Constants.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "util/StringUtils.h"

#include <algorithm>
#include <cstdlib>

TestTimings parseTestTimings(const std::string& text)
{
  TestTimings timings{std::chrono::seconds(Orvane::startPackagesPeriodSeconds), CrashLoopTimings{},
                      Limits::packageLogCopyLinesPerSecond, Limits::packageOutputBytesPerSecond};
  for (const std::string& item : StringUtils::splitAny(text, ",")) {
    const size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    char* end = nullptr;
    const double value = equals == std::string::npos ? 0 : std::strtod(item.c_str() + equals + 1, &end);
    const std::chrono::milliseconds ms(static_cast<long long>(value * 1000));
    const bool valid = end != nullptr && *end == '\0' && value > 0;
    if (valid && name == "tick") {
      timings.startPeriod = ms;
    } else if (valid && name == "short") {
      timings.crashLoop.shortRun = ms;
    } else if (valid && name == "crashes") {
      timings.crashLoop.crashesToLoop = std::max(1u, static_cast<unsigned>(value));
    } else if (valid && name == "delay") {
      timings.crashLoop.firstDelay = ms;
    } else if (valid && name == "max") {
      timings.crashLoop.maxDelay = ms;
    } else if (valid && name == "stable") {
      timings.crashLoop.stableRun = ms;
    } else if (valid && name == "lograte") {
      timings.logCopyLinesPerSecond = value;
    } else if (valid && name == "outrate") {
      timings.outputBytesPerSecond = value;
    } else if (!item.empty()) {
      Logger::log("Orvane - Ignored test timing: " + item, LogLevel::Warning);
    }
  }
  return timings;
}
