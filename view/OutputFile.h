#pragma once
// Writing a file the viewer makes (a picture, its world file) where the user
// asked for it, without ever destroying what that name already is.
#include <string>

namespace kartivo::view {

// Writes `bytes` to `path`. A name not taken yet, or a regular file, gets a
// whole new file (temporary file, then rename: a failed write leaves the old
// file as it was). An existing named pipe or character device (a pipe to
// another program, /dev/stdout, /dev/null) is written to as a stream and
// never replaced; a pipe nobody reads from is refused rather than waited
// on. A folder, a block device or a socket is refused. False with one
// sentence in `error` on any failure.
bool WriteOutputFile(const std::string& path, const std::string& bytes, std::string& error);

} // namespace kartivo::view
