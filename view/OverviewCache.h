#pragma once
// The viewer's overview cache on disk ($XDG_CACHE_HOME/kartivo/): one entry
// (a folder named by 16 hex digits) per project and task shape, holding that
// project's overview images. Here: which names are ours, the lock a viewer
// holds on the entry it uses, and the trimming that keeps the cache small.
//
// Trimming: when the entries together hold more than the limit (1 GiB by
// default, CacheLimitBytes), the least recently used go first, each removed
// whole, until the rest fit. An entry is "used" when a viewer opens it or
// adds an image to it (the folder's modification time). Never removed: an
// entry a viewer has open (it holds a shared lock on the folder, any process),
// anything whose name is not of our patterns, a folder holding anything not
// ours (a subfolder, a link, a foreign file), another user's folder. Links
// are never followed out of the cache root. An entry is renamed aside
// ("<hex>.removing") before its files go, so another viewer sees it either
// whole or gone; what a crashed trim left aside is finished by the next.
#include <atomic>
#include <cstdint>
#include <string>

namespace kartivo::view {

// The default bound on the whole cache: roughly the overviews of a million
// aerial tiles (about 1 KB of overview a tile), or of many smaller projects.
inline constexpr std::uint64_t kDefaultCacheLimitBytes = std::uint64_t(1) << 30;

// The limit in force: $KARTIVO_CACHE_LIMIT_MB when it is a whole number of
// megabytes (0 keeps nothing but the entries in use), else the default.
std::uint64_t CacheLimitBytes();

// An entry's folder name: exactly 16 lowercase hex digits.
bool IsCacheEntryName(const std::string& name);
// A file an entry may hold: an image "L<level>_<col>_<row>.kvo", or the
// temporary name a replacing write of one uses.
bool IsCacheFileName(const std::string& name);

// A shared lock on an entry's folder, held while a viewer uses it: a trim in
// any process leaves the folder alone. Taken without waiting; when a trim is
// removing the folder at that moment, no lock is held (Held() false) and the
// viewer's next writes make a new folder.
class CacheEntryLock {
public:
    CacheEntryLock() = default;
    ~CacheEntryLock();
    CacheEntryLock(const CacheEntryLock&) = delete;
    CacheEntryLock& operator=(const CacheEntryLock&) = delete;

    // Locks `folder` (releasing any earlier one) and marks it used now.
    bool Take(const std::string& folder);
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

struct TrimOutcome {
    std::uint64_t BytesBefore = 0; // in the entries that could be looked at
    std::uint64_t BytesAfter = 0;
    int Removed = 0; // entries removed (left-over ones included)
};

// Trims the cache under `root` to `limit` bytes as described above. `inUse`
// names an entry never removed even when not locked (this viewer's own);
// `stop`, when given and set, ends the trim between two entries.
TrimOutcome TrimOverviewCache(const std::string& root, std::uint64_t limit, const std::string& inUse = "",
                              const std::atomic<bool>* stop = nullptr);

} // namespace kartivo::view
