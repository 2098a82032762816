#include "mpfd/Exception.h"

#include <utility>

namespace MPFD {

Exception::Exception(std::string error) : error(std::move(error)) {}

Exception::~Exception() = default;

} // namespace MPFD
