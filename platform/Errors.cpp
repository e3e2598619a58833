#include "platform/Errors.h"

namespace kartivo::platform {

EFCreateError::EFCreateError(const std::string& path, int error)
    : Exception("Cannot create file " + path), error_(error)
{
}

EFOpenError::EFOpenError(const std::string& path) : Exception("Cannot open file " + path) {}

EIniFileException::EIniFileException(const std::string& path) : Exception("Unable to write to " + path) {}

} // namespace kartivo::platform
