#pragma once
// Reading files that may be hostile: only regular files are read (a named
// pipe, a device or a folder is refused before anything can block), opened
// non-blocking, and never more than a bound the caller sets, so a giant or
// endless file costs no more memory than a real one.
#include <cstddef>
#include <string>

namespace kartivo::platform {

enum class ReadStatus {
    Ok,         // the whole file is in `bytes`
    Missing,    // no such file (or a dangling link)
    NotRegular, // a named pipe, device, socket or folder: not opened for reading
    TooLarge,   // larger than the bound: nothing read
    Failed      // any other failure (no permission, I/O error)
};

// Reads the regular file `path` (links followed) whole into `bytes`, when it
// holds at most `maxBytes`. `bytes` is empty unless the result is Ok. A file
// that grows while it is read past the bound is TooLarge.
ReadStatus ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& bytes);

// The size of the regular file `path`, or -1 when it is missing or not a
// regular file. Never opens the file.
long long RegularFileSize(const std::string& path);

// A short English text for a status other than Ok ("not a regular file",
// "larger than 4 MB", ...), for messages that name the file themselves.
std::string ReadStatusText(ReadStatus status, std::size_t maxBytes);

} // namespace kartivo::platform
