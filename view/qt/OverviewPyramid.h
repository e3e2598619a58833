#pragma once
// The coarse overviews of a task, each the true downsample of what lies
// below it, kept on disk between runs. An overview of level L >= kFirstLevel
// shows 2^L x 2^L tiles in one tile-sized image: at kFirstLevel it is made
// from every tile it covers (each decoded at its share of the image), above
// from its four children, averaged 2 x 2 with alpha weighting (so the grid's
// edge and missing tiles, transparent, never darken what surrounds them).
//
// Every stored image carries a digest of the size and modification time of
// each tile under it; an image whose digest no longer matches the tiles is
// built again, so a tile a download changed shows at every scale. Images
// live in $XDG_CACHE_HOME/kartivo/ (by default ~/.cache/kartivo/), one
// folder per project and task shape, written atomically and read bounded.
//
// Building runs on a background thread, what a frame wants first; the
// renderer meanwhile draws a quick sampled stand-in and says so.
#include <QImage>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "task/SavedProject.h"
#include "view/MapGrid.h"

namespace kartivo::view::qt {

class OverviewPyramid {
public:
    // Levels below this are drawn straight from the tiles (at most 8 x 8
    // of them an image), quickly enough not to be kept; from here on a view
    // would read too many tiles for a frame to come in time.
    static constexpr int kFirstLevel = 4;

    // The cache folder root: $XDG_CACHE_HOME/kartivo, else ~/.cache/kartivo.
    static std::string CacheRoot();

    // `project` and `grid` must outlive the pyramid. `cacheRoot` empty: CacheRoot().
    OverviewPyramid(const task::SavedProject& project, const MapGrid& grid, std::string cacheRoot = "");
    ~OverviewPyramid();
    OverviewPyramid(const OverviewPyramid&) = delete;
    OverviewPyramid& operator=(const OverviewPyramid&) = delete;

    // The folder this task's images are kept in.
    const std::string& Folder() const { return folder_; }

    // Whether `key` is an overview this pyramid keeps.
    bool Keeps(const PyramidKey& key) const { return key.Level >= kFirstLevel && key.Level <= grid_.MaxLevel(); }

    // The image of `key` when it has been checked against the tiles (or
    // built) in this session; a null image otherwise. Any thread.
    QImage Ready(const PyramidKey& key) const;
    bool IsReady(const PyramidKey& key) const;
    // The image kept on disk from an earlier run, before it is checked
    // against the tiles (a frame shows it at once; the check follows).
    QImage Unchecked(const PyramidKey& key) const;

    // Called on the builder thread after each image becomes ready.
    void SetNotifier(std::function<void(const PyramidKey&)> notify);
    // The images wanted now, most wanted first: replaces the earlier wish.
    void Want(const std::vector<PyramidKey>& keys);
    // Checks or builds `key` on the calling thread and returns its image.
    QImage Build(const PyramidKey& key);
    // Forgets which images were checked, so the tiles are looked at again
    // (a download still running changes them).
    void Forget();
    // Looks at the tiles under every first-level image below `keys` not yet
    // checked, on several threads at once, so that Build need not stat a
    // whole view's tiles one after another. What it saw is used once, by the
    // next Build (or builder thread) of that image; a later call, or
    // Forget, drops whatever was not used, so the tiles are looked at again.
    void LookAhead(const std::vector<PyramidKey>& keys);

private:
    struct Node {
        std::uint64_t Digest = 0;
        bool Ready = false;    // checked against the tiles (or built) this session
        bool Stored = false;   // and on disk, where Ready() reads it
    };
    std::uint64_t Ensure(const PyramidKey& key, QImage* image);
    std::uint64_t TilesDigest(const PyramidKey& key) const;
    QImage FromTiles(const PyramidKey& key) const;
    QImage FromChildren(const PyramidKey& key);
    // The stored image when its digest is `digest` (any digest: `anyDigest`).
    QImage Load(const PyramidKey& key, std::uint64_t digest, bool anyDigest = false) const;
    bool StoredDigestIs(const PyramidKey& key, std::uint64_t digest) const;
    bool Store(const PyramidKey& key, std::uint64_t digest, const QImage& image) const;
    std::string FileOf(const PyramidKey& key) const;
    void Work();

    const task::SavedProject& project_;
    const MapGrid& grid_;
    std::string root_;
    std::string folder_;

    std::mutex buildMutex_;   // one image built at a time, by the thread or a caller
    mutable std::mutex mutex_;
    std::unordered_map<PyramidKey, Node, PyramidKeyHash> nodes_;
    // First-level digests from LookAhead, each taken by one Ensure.
    std::unordered_map<PyramidKey, std::uint64_t, PyramidKeyHash> lookedAt_;
    std::deque<PyramidKey> wanted_;
    std::function<void(const PyramidKey&)> notify_;
    std::condition_variable cv_;
    std::atomic<bool> stop_{false};   // the builder thread gives up its image at once
    std::thread worker_;
};

} // namespace kartivo::view::qt
