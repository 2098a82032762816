#pragma once

#include <string>

namespace MPFD {

// The one failure type of the multipart parser and its fields: a fixed English text that is
// meant to be shown or logged as it stands. Deliberately not derived from std::exception, so
// callers catch it by name.
class Exception {
public:
  explicit Exception(std::string error);
  Exception(const Exception&) = default;
  Exception& operator=(const Exception&) = default;
  virtual ~Exception();

  const std::string& GetError() const { return error; }

private:
  std::string error;
};

// A body that breaks one of the upload limits (too many parts, a text field, a part header
// or the unconsumed bytes too long): the request is too large rather than malformed.
class LimitExceeded : public Exception {
public:
  using Exception::Exception;
};

} // namespace MPFD
