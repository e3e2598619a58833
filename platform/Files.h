#pragma once
// Files and folders: the path separator, the program folder, existence
// tests, one-level folder creation, whole-file writes through a temporary
// name, copy-without-replace. Linux paths use '/', defined once here.
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// The one place that spells the path separator.
inline constexpr char PathDelim = '/';

// Folder of the running executable (/proc/self/exe), with a trailing '/'.
// Tests may set their own program folder; an empty text restores the real one.
std::string ProgramFolder();
void SetProgramFolderForTests(const std::string& folder);

bool FileExists(const std::string& path);       // a regular file (or link to one)
bool DirectoryExists(const std::string& path);
bool CreateDir(const std::string& path);        // one level; false when it fails

std::string IncludeTrailingPathDelimiter(const std::string& path);
// Split at the last separator: the folder part keeps it, the name part does not.
std::string ExtractFilePath(const std::string& path);
std::string ExtractFileName(const std::string& path);
// Extension from the last dot of the name part on ("a.b.kvpd" -> ".kvpd"), or "".
std::string ExtractFileExt(const std::string& path);

// Writes the bytes to a temporary file in the same folder and renames it over
// `path`, so that a crash never leaves half a file. Throws EFCreateError.
void WriteFileAtomic(const std::string& path, const void* data, std::size_t size);
// The same, except that when the folder refuses the temporary file it returns
// false with nothing written, so the caller may choose another way; any later
// failure (a full disk) still throws EFCreateError and leaves `path` as it was.
bool TryWriteFileAtomic(const std::string& path, const void* data, std::size_t size);
// Creates `to` exclusively and copies `from` into it; never touches an
// existing `to`. Returns false on any failure (left for the caller to ignore).
bool CopyFileNoReplace(const std::string& from, const std::string& to);

} // namespace platform
