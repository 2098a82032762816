#pragma once

#include "util/Constants.h"

namespace Orvane {

// "release-<build number>|<source revision>|<build time>", fixed when the program is built.
const char* buildId();

} // namespace Orvane
