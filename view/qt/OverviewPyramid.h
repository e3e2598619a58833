#pragma once
// The coarse overviews of a task, each the true downsample of what lies
// below it, kept on disk between runs. An overview of level L >= kFirstLevel
// shows 2^L x 2^L tiles in one tile-sized image: at kFirstLevel it is made
// from every tile it covers (each decoded at its share of the image), above
// from its four children, averaged 2 x 2 with alpha weighting (so the grid's
// edge and missing tiles, transparent, never darken what surrounds them).
//
// Every image also carries a mask of 64 x 64 cells saying which tiles under
// each cell have a picture and which are missing or failed (missing also
// counts a file that is not a picture of this task), so that the missing
// areas keep their marks at every scale: the pyramid hands them out as
// marks, a cell with no picture at all covered, one with some tinted.
//
// Every stored image carries a digest of the size and modification time of
// each tile under it (and whether an absent one is in the failed list); an
// image whose digest no longer matches the tiles is built again, so a tile a
// download changed shows at every scale. Images live in
// $XDG_CACHE_HOME/kartivo/ (by default ~/.cache/kartivo/), one folder per
// project, task shape and image format, written atomically and read bounded.
// The folder in use is locked; on start the builder thread trims the cache
// to its limit (view/OverviewCache.h: 1 GiB unless set otherwise), least
// recently used projects first, before it builds anything.
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
#include "view/OverviewCache.h"
#include "view/qt/TileImages.h"

namespace kartivo::view::qt {

class OverviewPyramid {
public:
    // Levels below this are drawn straight from the tiles (at most 8 x 8
    // of them an image), quickly enough not to be kept; from here on a view
    // would read too many tiles for a frame to come in time.
    static constexpr int kFirstLevel = 4;

    // The cache folder root: $XDG_CACHE_HOME/kartivo, else ~/.cache/kartivo.
    static std::string CacheRoot();

    // The mask's cells a side, over the image's width and height.
    static constexpr int kMaskSide = 64;

    // `project` and `grid` must outlive the pyramid. `cacheRoot` empty:
    // CacheRoot(); `cacheLimit`, the bytes the whole cache is trimmed to.
    OverviewPyramid(const task::SavedProject& project, const MapGrid& grid, std::string cacheRoot = "",
                    std::uint64_t cacheLimit = CacheLimitBytes());
    ~OverviewPyramid();
    OverviewPyramid(const OverviewPyramid&) = delete;
    OverviewPyramid& operator=(const OverviewPyramid&) = delete;

    // The folder this task's images are kept in.
    const std::string& Folder() const { return folder_; }

    // Whether `key` is an overview this pyramid keeps.
    bool Keeps(const PyramidKey& key) const
    {
        return key.Level >= kFirstLevel && key.Level <= grid_.MaxLevel();
    }

    // The image of `key` when it has been checked against the tiles (or
    // built) in this session; a null image otherwise. Any thread. `marks`,
    // when given, receives the parts whose tiles lack a picture.
    QImage Ready(const PyramidKey& key, std::vector<TileMark>* marks = nullptr) const;
    bool IsReady(const PyramidKey& key) const;
    // The image kept on disk from an earlier run, before it is checked
    // against the tiles (a frame shows it at once; the check follows).
    QImage Unchecked(const PyramidKey& key, std::vector<TileMark>* marks = nullptr) const;

    // Called on the builder thread after each image becomes ready.
    void SetNotifier(std::function<void(const PyramidKey&)> notify);
    // The images wanted now, most wanted first: replaces the earlier wish.
    void Want(const std::vector<PyramidKey>& keys);
    // Checks or builds `key` on the calling thread and returns its image.
    // Waits for the trim of the cache that starts with the pyramid.
    // `onEach` is called after each image below it (itself included) is
    // checked or built: what a progress count counts.
    QImage Build(const PyramidKey& key, std::vector<TileMark>* marks = nullptr,
                 const std::function<void()>& onEach = {});
    // Forgets which images were checked, so the tiles are looked at again
    // (a download still running changes them).
    void Forget();
    // Looks at the tiles under every first-level image below `keys` not yet
    // checked, and at the header of its kept image, on several threads at
    // once, so that Build need not stat a whole view's tiles one after another. What it saw is used once, by
    // the next Build (or builder thread) of that image; a later call, or Forget, drops whatever was not used,
    // so the tiles are looked at again.
    void LookAhead(const std::vector<PyramidKey>& keys);

private:
    // An image with its mask, kMaskSide x kMaskSide cells, row by row.
    struct Picture {
        QImage Image;
        std::vector<std::uint8_t> Mask;
    };
    struct Node {
        std::uint64_t Digest = 0;
        bool Ready = false;  // checked against the tiles (or built) this session
        bool Stored = false; // and on disk, where Ready() reads it
    };
    std::uint64_t Ensure(const PyramidKey& key, Picture* picture);
    std::uint64_t TilesDigest(const PyramidKey& key) const;
    Picture FromTiles(const PyramidKey& key) const;
    Picture FromChildren(const PyramidKey& key);
    // The stored image when its digest is `digest` (any digest: `anyDigest`).
    Picture Load(const PyramidKey& key, std::uint64_t digest, bool anyDigest = false) const;
    QImage Handed(Picture picture, std::vector<TileMark>* marks) const;
    bool StoredDigestIs(const PyramidKey& key, std::uint64_t digest) const;
    bool Store(const PyramidKey& key, std::uint64_t digest, const Picture& picture);
    std::string FileOf(const PyramidKey& key) const;
    void Work();

    const task::SavedProject& project_;
    const MapGrid& grid_;
    std::string root_;
    std::string name_; // the folder's name in root_
    std::string folder_;
    std::uint64_t limit_;
    CacheEntryLock lock_; // taken by the one building, under buildMutex_

    std::mutex buildMutex_;        // one image built at a time, by the thread or a caller
    std::function<void()> onEach_; // a Build's, while it runs (under buildMutex_)
    mutable std::mutex mutex_;
    std::unordered_map<PyramidKey, Node, PyramidKeyHash> nodes_;
    // What LookAhead saw of a first-level image: its tiles' digest, and
    // whether the kept image carries that digest. Each taken by one Ensure.
    struct LookedAt {
        std::uint64_t Digest = 0;
        bool Stored = false;
    };
    std::unordered_map<PyramidKey, LookedAt, PyramidKeyHash> lookedAt_;
    std::deque<PyramidKey> wanted_;
    std::function<void(const PyramidKey&)> notify_;
    std::condition_variable cv_;
    bool trimmed_ = false; // the builder thread's trim is over: Build may start
    std::condition_variable trimCv_;
    std::atomic<bool> stop_{false}; // the builder thread gives up its image at once
    std::thread worker_;
};

} // namespace kartivo::view::qt
