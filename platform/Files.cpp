#include "platform/Files.h"

#include "platform/CommitFile.h"
#include "platform/Errors.h"
#include "platform/FileOps.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace kartivo::platform {

namespace {

std::mutex g_programFolderMutex;
std::string g_programFolderOverride;

std::string ExecutableFolder()
{
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

std::atomic<unsigned> g_tempCounter{0};

} // namespace

std::string ProgramFolder()
{
    {
        std::lock_guard<std::mutex> lock(g_programFolderMutex);
        if (!g_programFolderOverride.empty())
            return g_programFolderOverride;
    }
    static const std::string folder = ExecutableFolder();
    return folder;
}

void SetProgramFolderForTests(const std::string& folder)
{
    std::lock_guard<std::mutex> lock(g_programFolderMutex);
    g_programFolderOverride = folder.empty() ? folder : IncludeTrailingPathDelimiter(folder);
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDir(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

std::string IncludeTrailingPathDelimiter(const std::string& path)
{
    if (!path.empty() && path.back() == PathDelim)
        return path;
    return path + PathDelim;
}

std::string ExtractFilePath(const std::string& path)
{
    std::size_t pos = path.rfind(PathDelim);
    return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

std::string ExtractFileName(const std::string& path)
{
    std::size_t pos = path.rfind(PathDelim);
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string ExtractFileExt(const std::string& path)
{
    std::size_t dot = path.rfind('.');
    std::size_t delim = path.rfind(PathDelim);
    if (dot == std::string::npos || (delim != std::string::npos && dot < delim))
        return std::string();
    return path.substr(dot);
}

void WriteFileAtomic(const std::string& path, const void* data, std::size_t size, NewFileAccess access)
{
    if (!TryWriteFileAtomic(path, data, size, access))
        throw EFCreateError(path);
}

std::string ResolveFileLinks(const std::string& path)
{
    // As the kernel does, give up after 40 links (a loop).
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size())
            return current; // changed meanwhile: let the write meet it as it is
        target.resize(static_cast<std::size_t>(n));
        current = (!target.empty() && target[0] == PathDelim) ? target : ExtractFilePath(current) + target;
    }
    return current;
}

std::string TempFileNameFor(const std::string& target)
{
    return ExtractFilePath(target) + ".kartivo." + std::to_string(::getpid()) + "." +
           std::to_string(g_tempCounter.fetch_add(1)) + ".tmp";
}

bool IsTempFileName(const std::string& name)
{
    // ".kartivo." digits "." digits ".tmp", nothing else.
    static const std::string head = ".kartivo.", tail = ".tmp";
    if (name.size() <= head.size() + tail.size() || name.compare(0, head.size(), head) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string middle = name.substr(head.size(), name.size() - head.size() - tail.size());
    const std::size_t dot = middle.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == middle.size())
        return false;
    for (std::size_t i = 0; i < middle.size(); ++i)
        if (i != dot && (middle[i] < '0' || middle[i] > '9'))
            return false;
    return true;
}

int RemoveStaleTempFiles(const std::string& folder)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return 0;
    const std::string base = IncludeTrailingPathDelimiter(folder);
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!IsTempFileName(name))
            continue;
        // The writer's process id is part of the name: a file of a process
        // that still runs (this one, or another Kartivo writing into the
        // same folder) may be a write in progress and stays.
        const long pid = std::strtol(name.c_str() + 9, nullptr, 10);
        if (pid == ::getpid() || (pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)))
            continue;
        struct stat st;
        if (::lstat((base + name).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::unlink((base + name).c_str()) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

bool TryWriteFileAtomic(const std::string& path, const void* data, std::size_t size, NewFileAccess access)
{
    // Through a link, the file it names is replaced, in that file's folder.
    const std::string target = ResolveFileLinks(path);
    struct stat old;
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists) {
        // No write bit for anyone: refused as a plain write is, also for root,
        // which the permission check (access) would let through.
        if ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
            (::geteuid() != 0 && ::access(target.c_str(), W_OK) != 0))
            throw EFCreateError(path, EACCES);
    }

    // The temporary name is unique per process and call, so that workers
    // writing into one folder never collide, and short, so that a target
    // whose name is near the length limit still has room for it.
    const std::string temp = TempFileNameFor(target);
    const mode_t newMode = access == NewFileAccess::Default ? 0666 : 0600;
    int fd = fileops::Open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, newMode);
    if (fd < 0) {
        // Only a folder that takes no new files leaves the caller another way.
        if (errno == EACCES || errno == EPERM || errno == EROFS)
            return false;
        throw EFCreateError(path, errno);
    }
    int error = 0;
    // Keeps the first failure's errno: the cause the user is told.
    auto check = [&error](bool ok) {
        if (!ok && error == 0)
            error = errno != 0 ? errno : EIO;
        return ok;
    };
    bool ok = true;
    if (exists) {
        // Owner and group first: a change of owner may clear set-id bits,
        // which the mode then restores. Where the process may not give the
        // file away (EPERM) it stays ours, with the old permission bits.
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid())
            (void)!::fchown(fd, old.st_uid, old.st_gid);
        // A file that now holds a secret is its owner's alone, whatever
        // bits it had before.
        const mode_t keep = access == NewFileAccess::Secret ? 07700 : 07777;
        ok = check(::fchmod(fd, old.st_mode & keep) == 0);
    }
    ok = ok && check(fileops::WriteAll(fd, data, size));
    if (!ok)
        ::close(fd);
    else
        error = CommitFile(fd, temp, target);
    if (!ok || error != 0) {
        ::unlink(temp.c_str());
        throw EFCreateError(path, error);
    }
    return true;
}

bool CopyFileNoReplace(const std::string& from, const std::string& to)
{
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    int out = fileops::Open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) {
        ::close(in);
        return false; // in particular: `to` exists and stays as it is
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
        if (!fileops::WriteAll(out, buffer, static_cast<std::size_t>(n))) {
            ok = false;
            break;
        }
    }
    ::close(in);
    ok = (::close(out) == 0) && ok;
    if (!ok)
        ::unlink(to.c_str()); // the file was ours: leave no half copy
    return ok;
}

std::optional<std::uint64_t> FreeDiskSpace(const std::string& path)
{
    struct statvfs fs {};
    if (::statvfs(path.c_str(), &fs) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(fs.f_bavail) * static_cast<std::uint64_t>(fs.f_frsize);
}

} // namespace kartivo::platform
