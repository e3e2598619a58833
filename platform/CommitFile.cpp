#include "platform/CommitFile.h"

#include "platform/FileOps.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kartivo::platform {

namespace {

int ErrnoOr(int fallback) { return errno != 0 ? errno : fallback; }

// The folder part of a path ("" for a bare name), as FsyncFolderOf reads it.
std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Flushes the folders of the first `placed` targets, each folder once (the
// side files of an output sit beside it), so that their renames are durable.
void FlushFolders(const std::vector<FileCommit>& files, std::size_t placed)
{
    std::vector<std::string> folders;
    for (std::size_t i = 0; i < placed; ++i) {
        const std::string folder = FolderOf(files[i].Target);
        if (std::find(folders.begin(), folders.end(), folder) != folders.end())
            continue;
        folders.push_back(folder);
        fileops::FsyncFolderOf(files[i].Target.c_str());
    }
}

} // namespace

int CommitFile(int fd, const std::string& temp, const std::string& target)
{
    // On disk before it takes the old file's place: a rename that reaches
    // the disk ahead of the bytes would leave an empty or torn file after a
    // power cut, and the old one gone.
    if (fileops::Fsync(fd) != 0) {
        const int error = ErrnoOr(EIO);
        ::close(fd);
        return error;
    }
    if (::close(fd) != 0 || fileops::Rename(temp.c_str(), target.c_str()) != 0)
        return ErrnoOr(EIO);
    // The rename itself is durable once the folder is flushed. A file system
    // that cannot flush a folder has done what it can; the file is in place.
    fileops::FsyncFolderOf(target.c_str());
    return 0;
}

CommitResult CommitFiles(const std::vector<FileCommit>& files)
{
    for (std::size_t i = 0; i < files.size(); ++i) {
        // A file written through another library (libtiff, SQLite, stdio)
        // and closed: a descriptor of our own flushes the same file.
        errno = 0;
        const int fd = fileops::Open(files[i].Temp.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return {ErrnoOr(EIO), i, 0};
        const bool flushed = fileops::Fsync(fd) == 0;
        const int error = ErrnoOr(EIO);
        ::close(fd);
        if (!flushed)
            return {error, i, 0};
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        errno = 0;
        if (fileops::Rename(files[i].Temp.c_str(), files[i].Target.c_str()) != 0) {
            FlushFolders(files, i);
            return {ErrnoOr(EIO), i, i};
        }
    }
    FlushFolders(files, files.size());
    return {0, 0, files.size()};
}

} // namespace kartivo::platform
