#include "platform/FileOps.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace kartivo::platform::fileops {

namespace {

// Off until a test or benchmark asks: the fast path reads this flag only.
std::atomic<bool> g_active{false};
std::atomic<long long> g_operations{0};
std::atomic<long long> g_fsyncs{0};
// 0: no fault armed; otherwise the operation count at which it strikes.
std::atomic<long long> g_faultAt{0};
std::atomic<int> g_faultKind{0};
std::atomic<int> g_faultError{0};

// Counts one operation and says whether it must fail (errno set). Ends the
// process when the plan says so.
bool Strikes()
{
    const long long n = g_operations.fetch_add(1, std::memory_order_relaxed) + 1;
    const long long at = g_faultAt.load(std::memory_order_relaxed);
    if (at == 0 || n < at)
        return false;
    const auto kind = static_cast<FaultKind>(g_faultKind.load(std::memory_order_relaxed));
    if (kind == FaultKind::Exit)
        ::_exit(kFaultExitStatus);
    if (kind == FaultKind::FailOnce && n != at)
        return false;
    errno = g_faultError.load(std::memory_order_relaxed);
    return true;
}

inline bool Active() { return g_active.load(std::memory_order_relaxed); }

} // namespace

int Open(const char* path, int flags, mode_t mode)
{
    if (Active() && Strikes())
        return -1;
    return ::open(path, flags, mode);
}

ssize_t Write(int fd, const void* data, std::size_t size)
{
    if (Active() && Strikes())
        return -1;
    return ::write(fd, data, size);
}

int Fsync(int fd)
{
    if (Active()) {
        g_fsyncs.fetch_add(1, std::memory_order_relaxed);
        if (Strikes())
            return -1;
    }
    return ::fsync(fd);
}

int Rename(const char* from, const char* to)
{
    if (Active() && Strikes())
        return -1;
    return ::rename(from, to);
}

int Ftruncate(int fd, off_t length)
{
    if (Active() && Strikes())
        return -1;
    return ::ftruncate(fd, length);
}

int Unlink(const char* path)
{
    if (Active() && Strikes())
        return -1;
    return ::unlink(path);
}

bool WriteAll(int fd, const void* data, std::size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = Write(fd, p, size);
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

void FsyncFolderOf(const char* path)
{
    std::string folder(path);
    const std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    (void)Fsync(fd);
    ::close(fd);
}

void ArmFault(long long nth, FaultKind kind, int error)
{
    g_faultAt.store(0);
    g_operations.store(0);
    g_fsyncs.store(0);
    g_faultKind.store(static_cast<int>(kind));
    g_faultError.store(error);
    g_faultAt.store(nth > 0 ? nth : 1);
    g_active.store(true);
}

void Disarm() { g_faultAt.store(0); }

void StartCounting()
{
    g_operations.store(0);
    g_fsyncs.store(0);
    g_active.store(true);
}

void StopCounting()
{
    g_faultAt.store(0);
    g_active.store(false);
}

long long OperationCount() { return g_operations.load(); }
long long FsyncCount() { return g_fsyncs.load(); }

} // namespace kartivo::platform::fileops
