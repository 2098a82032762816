#pragma once

#include "util/CHandle.h"

#include <axsdk/axevent.h>

#include <memory>
#include <string>

// Owners of the platform event library's handles, so that every early return and every
// thrown error frees what was created.
namespace EventPlatform {

using KeyValueSet = CHandle<AXEventKeyValueSet, ax_event_key_value_set_free>;
using Event = CHandle<AXEvent, ax_event_free>;

// The error out-parameter of one platform call.
class Error {
public:
  Error() = default;
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  ~Error()
  {
    if (error)
      g_error_free(error);
  }

  GError** out() { return &error; }

  // The platform's message, or a fallback when a failing call left no error record.
  std::string text() const
  {
    if (error != nullptr && error->message != nullptr)
      return error->message;
    return "unknown error";
  }

private:
  GError* error = nullptr;
};

} // namespace EventPlatform
