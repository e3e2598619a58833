#include "view/OverviewCache.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/Files.h"

namespace kartivo::view {

namespace {

constexpr const char* kAsideSuffix = ".removing";

bool AllDigits(const std::string& s, std::size_t from, std::size_t to)
{
    if (from >= to || to > s.size())
        return false;
    for (std::size_t i = from; i < to; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

// The names in the folder `fd` (a descriptor of its own is read, `fd` stays open).
bool ListNames(int fd, std::vector<std::string>& names)
{
    const int copy = ::dup(fd);
    if (copy < 0)
        return false;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return false;
    }
    ::rewinddir(dir);
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return true;
}

// The bytes of an entry's files when the folder `fd` holds nothing but ours,
// each a regular file (a link is not followed, and makes the folder not ours).
bool OnlyOurs(int fd, std::uint64_t& bytes, std::vector<std::string>* files = nullptr)
{
    std::vector<std::string> names;
    if (!ListNames(fd, names))
        return false;
    bytes = 0;
    for (const std::string& name : names) {
        struct stat st {};
        if (!IsCacheFileName(name) || ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            return false;
        bytes += static_cast<std::uint64_t>(st.st_size);
        if (files)
            files->push_back(name);
    }
    return true;
}

// An entry folder of this user, opened without following a link, and locked
// exclusively: no viewer (in any process) has it open. -1 otherwise.
int OpenExclusive(int rootFd, const std::string& name)
{
    const int fd = ::openat(rootFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Removes the folder `fd`, found as `name` under the root, whole: renamed
// aside first (unless it is aside already), then emptied of our files, then
// removed. Stops, leaving it aside, at anything not ours.
bool RemoveWhole(int rootFd, const std::string& name, int fd)
{
    std::string aside = name;
    if (IsCacheEntryName(name)) {
        aside = name + kAsideSuffix;
        if (::renameat(rootFd, name.c_str(), rootFd, aside.c_str()) != 0)
            return false;
    }
    // The folder renamed must be the one locked (nothing swapped it meanwhile).
    struct stat held {
    }, there{};
    if (::fstat(fd, &held) != 0 || ::fstatat(rootFd, aside.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
        held.st_dev != there.st_dev || held.st_ino != there.st_ino)
        return false;
    std::uint64_t bytes = 0;
    std::vector<std::string> files;
    if (!OnlyOurs(fd, bytes, &files))
        return false;
    for (const std::string& file : files)
        ::unlinkat(fd, file.c_str(), 0); // a link is removed itself, never its target
    return ::unlinkat(rootFd, aside.c_str(), AT_REMOVEDIR) == 0;
}

struct Candidate {
    std::string Name;
    std::uint64_t Bytes = 0;
    struct timespec Used {};
};

} // namespace

std::uint64_t CacheLimitBytes()
{
    const char* text = std::getenv("KARTIVO_CACHE_LIMIT_MB");
    if (!text || !*text)
        return kDefaultCacheLimitBytes;
    const std::string s = text;
    // At most a petabyte: anything longer is no deliberate limit.
    if (s.size() > 9 || !AllDigits(s, 0, s.size()))
        return kDefaultCacheLimitBytes;
    return std::strtoull(text, nullptr, 10) << 20;
}

bool IsCacheEntryName(const std::string& name)
{
    if (name.size() != 16)
        return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool IsCacheFileName(const std::string& name)
{
    if (platform::IsTempFileName(name))
        return true;
    // "L" digits "_" digits "_" digits ".kvo"
    const std::string tail = ".kvo";
    if (name.size() < 1 + 5 + tail.size() || name[0] != 'L' ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::size_t end = name.size() - tail.size();
    const std::size_t a = name.find('_', 1);
    if (a == std::string::npos)
        return false;
    const std::size_t b = name.find('_', a + 1);
    return b != std::string::npos && b < end && AllDigits(name, 1, a) && AllDigits(name, a + 1, b) &&
           AllDigits(name, b + 1, end);
}

CacheEntryLock::~CacheEntryLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool CacheEntryLock::Take(const std::string& folder)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ < 0)
        return false;
    if (::flock(fd_, LOCK_SH | LOCK_NB) != 0) {
        // A trim holds it and is removing it.
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    // Used now: the trims of other runs keep it longest.
    ::futimens(fd_, nullptr);
    return true;
}

TrimOutcome TrimOverviewCache(const std::string& root, std::uint64_t limit, const std::string& inUse,
                              const std::atomic<bool>* stop)
{
    TrimOutcome outcome;
    const int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
        return outcome;
    std::vector<std::string> names;
    ListNames(rootFd, names);
    std::vector<Candidate> entries;
    for (const std::string& name : names) {
        if (stop && *stop)
            break;
        const bool aside = name.size() == 16 + std::string(kAsideSuffix).size() &&
                           name.compare(16, std::string::npos, kAsideSuffix) == 0 &&
                           IsCacheEntryName(name.substr(0, 16));
        if (!aside && !IsCacheEntryName(name))
            continue;
        if (aside) {
            // Left by a trim that did not finish: finished now.
            const int fd = OpenExclusive(rootFd, name);
            if (fd >= 0) {
                outcome.Removed += RemoveWhole(rootFd, name, fd);
                ::close(fd);
            }
            continue;
        }
        const int fd = ::openat(rootFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        Candidate c{name, 0, {}};
        const bool ours = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && OnlyOurs(fd, c.Bytes);
        ::close(fd);
        if (!ours)
            continue;
        c.Used = st.st_mtim;
        outcome.BytesBefore += c.Bytes;
        entries.push_back(std::move(c));
    }
    outcome.BytesAfter = outcome.BytesBefore;
    // Least recently used first.
    std::sort(entries.begin(), entries.end(), [](const Candidate& a, const Candidate& b) {
        return a.Used.tv_sec != b.Used.tv_sec ? a.Used.tv_sec < b.Used.tv_sec
                                              : a.Used.tv_nsec < b.Used.tv_nsec;
    });
    for (const Candidate& c : entries) {
        if (outcome.BytesAfter <= limit || (stop && *stop))
            break;
        if (c.Name == inUse)
            continue;
        const int fd = OpenExclusive(rootFd, c.Name);
        if (fd < 0)
            continue; // a viewer has it open
        if (RemoveWhole(rootFd, c.Name, fd)) {
            ++outcome.Removed;
            outcome.BytesAfter -= std::min(outcome.BytesAfter, c.Bytes);
        }
        ::close(fd);
    }
    ::close(rootFd);
    return outcome;
}

} // namespace kartivo::view
