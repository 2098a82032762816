#pragma once

#include <stdexcept>
#include <string>

// Why an operation failed, as reported to its caller below the layer that answers: what kind
// of failure it is and the reason in plain words (what()). The kind says whose mistake it
// was, so that the answering layer alone picks the status and the log level; the reason names
// no interface, so that the same failure reads right in any answer or log line.
// A std::runtime_error, so that clean-up written for any runtime error also runs for it.
class Failure : public std::runtime_error {
public:
  enum class Kind {
    BadInput, // what the client sent is malformed or breaks a rule
    TooLarge, // what the client sent breaks a limit or does not fit
    NotFound, // what the client names does not exist
    Conflict, // what the client asks contradicts the current state
    Io,       // Orvane's storage, platform or network did not do what was asked
    Internal, // Orvane's own code or state is at fault
  };

  Failure(Kind kind, const std::string& reason) : std::runtime_error(reason), kind_(kind) {}

  Kind kind() const noexcept { return kind_; }
  // A client's mistake rather than Orvane's own: the client can fix it by asking otherwise.
  bool byClient() const noexcept { return kind_ != Kind::Io && kind_ != Kind::Internal; }

private:
  Kind kind_;
};
