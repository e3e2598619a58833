#include "platform/Files.h"

#include "platform/Errors.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace kartivo::platform {

namespace {

std::mutex g_programFolderMutex;
std::string g_programFolderOverride;

std::string ExecutableFolder() {
    std::string buffer(4096, '\0');
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return std::string(1, PathDelim);
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    return ExtractFilePath(buffer);
}

// Writes the whole buffer, retrying short writes and interrupted calls.
bool WriteAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::atomic<unsigned> g_tempCounter{0};

} // namespace

std::string ProgramFolder() {
    {
        std::lock_guard<std::mutex> lock(g_programFolderMutex);
        if (!g_programFolderOverride.empty())
            return g_programFolderOverride;
    }
    static const std::string folder = ExecutableFolder();
    return folder;
}

void SetProgramFolderForTests(const std::string& folder) {
    std::lock_guard<std::mutex> lock(g_programFolderMutex);
    g_programFolderOverride = folder.empty() ? folder : IncludeTrailingPathDelimiter(folder);
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDir(const std::string& path) {
    return ::mkdir(path.c_str(), 0777) == 0;
}

std::string IncludeTrailingPathDelimiter(const std::string& path) {
    if (!path.empty() && path.back() == PathDelim)
        return path;
    return path + PathDelim;
}

std::string ExtractFilePath(const std::string& path) {
    std::size_t pos = path.rfind(PathDelim);
    return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

std::string ExtractFileName(const std::string& path) {
    std::size_t pos = path.rfind(PathDelim);
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string ExtractFileExt(const std::string& path) {
    std::size_t dot = path.rfind('.');
    std::size_t delim = path.rfind(PathDelim);
    if (dot == std::string::npos || (delim != std::string::npos && dot < delim))
        return std::string();
    return path.substr(dot);
}

void WriteFileAtomic(const std::string& path, const void* data, std::size_t size,
                     NewFileAccess access) {
    if (!TryWriteFileAtomic(path, data, size, access))
        throw EFCreateError(path);
}

std::string ResolveFileLinks(const std::string& path) {
    // As the kernel does, give up after 40 links (a loop).
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size())
            return current;   // changed meanwhile: let the write meet it as it is
        target.resize(static_cast<std::size_t>(n));
        current = (!target.empty() && target[0] == PathDelim) ? target
                                                               : ExtractFilePath(current) + target;
    }
    return current;
}

bool TryWriteFileAtomic(const std::string& path, const void* data, std::size_t size,
                        NewFileAccess access) {
    // Through a link, the file it names is replaced, in that file's folder.
    const std::string target = ResolveFileLinks(path);
    struct stat old;
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists) {
        // No write bit for anyone: refused as a plain write is, also for root,
        // which the permission check (access) would let through.
        if ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
            (::geteuid() != 0 && ::access(target.c_str(), W_OK) != 0))
            throw EFCreateError(path);
    }

    // The temporary name is unique per process and call, so that workers
    // writing into one folder never collide, and short, so that a target
    // whose name is near the length limit still has room for it.
    const std::string folder = ExtractFilePath(target);
    std::string temp = folder + ".kartivo." + std::to_string(::getpid()) + "." +
                       std::to_string(g_tempCounter.fetch_add(1)) + ".tmp";
    const mode_t newMode = access == NewFileAccess::OwnerOnly ? 0600 : 0666;
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, newMode);
    if (fd < 0) {
        // Only a folder that takes no new files leaves the caller another way.
        if (errno == EACCES || errno == EPERM || errno == EROFS)
            return false;
        throw EFCreateError(path);
    }
    bool ok = true;
    if (exists) {
        // Owner and group first: a change of owner may clear set-id bits,
        // which the mode then restores. Where the process may not give the
        // file away (EPERM) it stays ours, with the old permission bits.
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid())
            (void)!::fchown(fd, old.st_uid, old.st_gid);
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    }
    ok = ok && WriteAll(fd, data, size);
    ok = ok && ::fsync(fd) == 0;   // on disk before it takes the old file's place
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw EFCreateError(path);
    }
    // The rename itself is durable once the folder is flushed. A file system
    // that cannot flush a folder has done what it can; the file is in place.
    int dirFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool CopyFileNoReplace(const std::string& from, const std::string& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) {
        ::close(in);
        return false;   // in particular: `to` exists and stays as it is
    }
    bool ok = true;
    char buffer[64 * 1024];
    for (;;) {
        ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = (n == 0);
            break;
        }
        if (!WriteAll(out, buffer, static_cast<std::size_t>(n))) {
            ok = false;
            break;
        }
    }
    ::close(in);
    ok = (::close(out) == 0) && ok;
    if (!ok)
        ::unlink(to.c_str());   // the file was ours: leave no half copy
    return ok;
}

std::optional<std::uint64_t> FreeDiskSpace(const std::string& path) {
    struct statvfs fs {};
    if (::statvfs(path.c_str(), &fs) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(fs.f_bavail) * static_cast<std::uint64_t>(fs.f_frsize);
}

} // namespace kartivo::platform
