#pragma once
// Files and folders: the path separator, the program folder, existence
// tests, one-level folder creation, whole-file writes through a temporary
// name, copy-without-replace. Linux paths use '/', defined once here.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kartivo::platform {

// The one place that spells the path separator.
inline constexpr char PathDelim = '/';

// Folder of the running executable (/proc/self/exe), with a trailing '/'.
// Tests may set their own program folder; an empty text restores the real one.
std::string ProgramFolder();
void SetProgramFolderForTests(const std::string& folder);

bool FileExists(const std::string& path); // a regular file (or link to one)
bool DirectoryExists(const std::string& path);
bool CreateDir(const std::string& path); // one level; false when it fails

std::string IncludeTrailingPathDelimiter(const std::string& path);
// Split at the last separator: the folder part keeps it, the name part does not.
std::string ExtractFilePath(const std::string& path);
std::string ExtractFileName(const std::string& path);
// Extension from the last dot of the name part on ("a.b.kvpd" -> ".kvpd"), or "".
std::string ExtractFileExt(const std::string& path);

// Who may read a file that a replacing write creates (an existing file keeps
// its own permission bits).
enum class NewFileAccess {
    Default,   // 0666 less the umask, as any new file
    OwnerOnly, // 0600 when created: the file may hold a secret (the proxy password)
    Secret     // 0600 also when it existed with wider bits: it holds a secret now
};

// Replaces the file `path` by the bytes, so that neither a crash nor a power
// cut leaves half a file: the bytes go to a temporary file in the target's
// folder, which is flushed to disk, renamed over the target, and the folder
// flushed after it. The new file is what the old one was: a symbolic link is
// followed and the file it names replaced (the link stays a link); the old
// file's permission bits are kept, and its owner and group where the process
// may set them. A target that has no write permission is refused, as a plain
// write would be (decided from its mode bits, so that root is refused too).
// Throws EFCreateError, with the errno of the step that failed.
void WriteFileAtomic(const std::string& path, const void* data, std::size_t size,
                     NewFileAccess access = NewFileAccess::Default);
// The same, except that when the folder refuses new files (no permission, a
// read-only file system) it returns false with nothing written, so the
// caller may write in place instead. Every other failure (a full disk, a name
// too long, a read-only target) throws EFCreateError and leaves `path` as it was.
bool TryWriteFileAtomic(const std::string& path, const void* data, std::size_t size,
                        NewFileAccess access = NewFileAccess::Default);
// The temporary name a replacing write of `target` uses, in its folder:
// ".kartivo.<process id>.<n>.tmp", unique per process and call, short so
// that a target near the name length limit still has room for it.
std::string TempFileNameFor(const std::string& target);
// Whether a file name is exactly of that pattern.
bool IsTempFileName(const std::string& name);
// Removes the temporary files that killed runs left in `folder` (not in its
// subfolders): regular files of exactly that pattern whose process no longer
// runs. Returns how many were removed.
int RemoveStaleTempFiles(const std::string& folder);
// `path` with the symbolic links of its last part followed (also to a file
// that does not exist yet); `path` itself when it is no link.
std::string ResolveFileLinks(const std::string& path);
// Bytes that an unprivileged user may still write on the file system that
// holds `path` (statvfs: available blocks times the fragment size); nothing
// when it cannot be told.
std::optional<std::uint64_t> FreeDiskSpace(const std::string& path);
// Creates `to` exclusively and copies `from` into it; never touches an
// existing `to`. Returns false on any failure (left for the caller to ignore).
bool CopyFileNoReplace(const std::string& from, const std::string& to);

} // namespace kartivo::platform
