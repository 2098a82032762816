#pragma once

#include "util/Failure.h"

#include <string>

namespace MPFD {

// The one failure type of the multipart parser and its fields: a fixed English text that is
// meant to be shown or logged as it stands. A malformed body is the client's bad input unless
// the constructor is told otherwise.
class Exception : public Failure {
public:
  explicit Exception(const std::string& error, Kind kind = Kind::BadInput);

  std::string GetError() const { return what(); }
};

// A body that breaks one of the upload limits (too many parts, a text field, a part header
// or the unconsumed bytes too long): the request is too large rather than malformed.
class LimitExceeded : public Exception {
public:
  explicit LimitExceeded(const std::string& error);
};

} // namespace MPFD
