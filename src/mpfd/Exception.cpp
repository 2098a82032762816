#include "mpfd/Exception.h"

namespace MPFD {

Exception::Exception(const std::string& error, Kind kind) : Failure(kind, error) {}

LimitExceeded::LimitExceeded(const std::string& error) : Exception(error, Kind::TooLarge) {}

} // namespace MPFD
