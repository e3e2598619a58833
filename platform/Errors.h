#pragma once
// Errors of the platform layer whose message the user sees as it stands
// (the standard error box). Each text is fixed: callers and tests rely on it.
#include <stdexcept>
#include <string>

namespace kartivo::platform {

// Base of every error Kartivo raises on purpose; what() is the user's text.
class Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "Cannot create file <path>": a file could not be created or written.
// Where the cause is known, Error() is its errno (ENOSPC for a full disk),
// so that a caller can tell the user why; 0 otherwise.
class EFCreateError : public Exception {
public:
    explicit EFCreateError(const std::string& path, int error = 0);
    int Error() const { return error_; }

private:
    int error_;
};

// "Cannot open file <path>": a file could not be opened for reading.
class EFOpenError : public Exception {
public:
    explicit EFOpenError(const std::string& path);
};

// "Unable to write to <path>": an INI write the file system refused.
class EIniFileException : public Exception {
public:
    explicit EIniFileException(const std::string& path);
};

} // namespace kartivo::platform
