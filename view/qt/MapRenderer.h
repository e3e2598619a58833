#pragma once
// Paints a view of a project: the pyramid images that cover it from the
// byte-bounded cache, a coarser or finer cached image stretched in where one
// is still loading, then the overlays (tile grid, area asked for, missing
// and failed marks). Painting never waits for the disk: what is missing is
// asked of the loader and the frame reports itself incomplete. Used from
// one thread (the window's); the loader's notifier may fire on any.
#include <QColor>
#include <QImage>
#include <QPainter>
#include <cstdint>
#include <functional>
#include <memory>

#include "task/SavedProject.h"
#include "view/ByteCache.h"
#include "view/CommandLine.h"
#include "view/MapGrid.h"
#include "view/Viewport.h"
#include "view/qt/OverviewPyramid.h"
#include "view/qt/TileImages.h"
#include "view/qt/TileLoader.h"

namespace kartivo::view::qt {

namespace viewcolors {
inline const QColor Background(48, 48, 48);   // beyond the task's tiles
inline const QColor Loading(112, 112, 112);   // an image still being read
inline const QColor NoImage(200, 200, 200);   // a tile without a picture
inline const QColor MissingMark(255, 150, 0); // missing or unreadable, with marks on
inline const QColor FailedMark(220, 20, 20);  // in the failed list, with marks on
inline const QColor Area(0, 220, 255);        // outline of the area asked for
inline const QColor Graticule(255, 220, 0);   // lines of round longitude and latitude
} // namespace viewcolors

class MapRenderer {
public:
    static constexpr std::size_t kDefaultCacheBytes = 256u << 20;

    // `project` must outlive the renderer. The kept overviews live under
    // `overviewCache` (empty: OverviewPyramid::CacheRoot()).
    explicit MapRenderer(const task::SavedProject& project, std::size_t cacheBytes = kDefaultCacheBytes,
                         int loaderThreads = 0, const std::string& overviewCache = "");
    ~MapRenderer();

    const task::SavedProject& Project() const { return project_; }
    const MapGrid& Grid() const { return grid_; }

    // Called (on a worker thread) when loaded images wait to be collected
    // or an overview has been built.
    void SetOnTilesReady(std::function<void()> notify);
    // Files what the loader finished into the cache.
    void Absorb();

    // Draws the view; true when every image it needed was at hand. Never
    // waits: what is not decoded yet shows a coarser or finer image at hand
    // (asking first for the nearest ready overview when there is none), and
    // the images just beyond the view are asked for after those in it, so
    // that a drag finds them decoded.
    bool Paint(QPainter& painter, const Viewport& view, const Overlays& overlays);
    // The whole picture of a view, waiting for every image it needs (for
    // --render and Export view). Large pictures are drawn in bands so the
    // cache bound holds. `progress`, when given, hears how many of the
    // overview images the picture stands on have been checked or built.
    using Progress = std::function<void(std::int64_t done, std::int64_t total)>;
    QImage Render(const Viewport& view, const Overlays& overlays, const Progress& progress = {});

    // Forgets every image, so the next frames read the tiles again (a
    // download still running adds tiles while the project is shown).
    void Forget();
    // Blocks until the loader has nothing left to do, then files its results.
    void WaitForLoads();

    // The level-0 entry of tile (x, y) when it is cached.
    const TileEntry* CachedTile(int x, int y) const;
    std::size_t CacheBytes() const { return cache_.Bytes(); }
    // The pyramid level the last frame showed stand-ins for while its true
    // overviews are built; -1 when it showed none.
    int BuildingLevel() const { return buildingLevel_; }
    // Whether the last frame had an image for every place (overviews kept
    // by an earlier run included, before they are checked).
    bool AllImagesAtHand() const { return allImagesAtHand_; }
    const OverviewPyramid& Pyramid() const { return *pyramid_; }

private:
    std::vector<PyramidKey> Lacking(const Viewport& view) const;
    // `lookAround`: also ask for placeholders and the ring around the view.
    bool PaintView(QPainter& painter, const Viewport& view, const Overlays& overlays, bool lookAround);
    // The images of `level` around the view, not in sight and not at hand,
    // nearest first.
    std::vector<PyramidKey> Ring(const Viewport& view, int level,
                                 const std::vector<PyramidKey>& visible) const;
    std::vector<TileLoader::Wish> Wishes(const std::vector<PyramidKey>& keys) const;
    void DrawEntry(QPainter& painter, const QRect& target, const TileEntry& entry, bool marks,
                   bool smooth) const;
    bool DrawStandIn(QPainter& painter, const Viewport& view, const PyramidKey& key) const;
    void DrawGrid(QPainter& painter, const Viewport& view) const;
    void DrawListedFailures(QPainter& painter, const Viewport& view) const;
    void DrawArea(QPainter& painter, const Viewport& view) const;
    void DrawGraticule(QPainter& painter, const Viewport& view) const;
    QRect ScreenRect(const Viewport& view, const MapRect& r) const;
    // How many kept overview images a render of `view` stands on.
    std::int64_t OverviewsUnder(const Viewport& view) const;

    const task::SavedProject& project_;
    MapGrid grid_;
    // Read from the failed list once: overviews that show one tile in many
    // cannot see the failed ones, so they are marked from here.
    std::vector<std::pair<int, int>> failedTiles_;
    ByteCache<PyramidKey, TileEntry, PyramidKeyHash> cache_;
    int buildingLevel_ = -1;
    bool allImagesAtHand_ = false;
    // The builder and the loader's workers stop before the rest goes; the
    // loader, which reads from the pyramid, first.
    std::unique_ptr<OverviewPyramid> pyramid_;
    std::unique_ptr<TileLoader> loader_;
};

} // namespace kartivo::view::qt
