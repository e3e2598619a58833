// The kept overviews: every pixel of a zoomed-out view is the mean of the
// tiles it covers (alpha-weighted at the grid's edge), the images are kept
// in the cache folder and built again when a tile under them changes.
#include <map>
#include <filesystem>

#include "view/qt/HeadlessRender.h"
#include "view/qt/MapRenderer.h"
#include "view/qt/OverviewPyramid.h"
#include "tests/view/ViewFixture.h"

namespace kartivo::view {

namespace {

using testing::Near;
using testing::SyntheticTask;

// One row of 260 tiles (PNG, so colours are exact): a level-8 overview
// holds one tile a pixel, level 9 two tiles a pixel.
constexpr int kColumns = 260;

class OverviewPyramidTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        strip_ = std::make_unique<SyntheticTask>(testing::TaskShape{0, kColumns - 1, 500, 500, 10, 5}, "strip.kvpd");
        strip_->WriteAllTiles();
    }
    static void TearDownTestSuite() { strip_.reset(); }
    static SyntheticTask& Strip() { return *strip_; }

private:
    static std::unique_ptr<SyntheticTask> strip_;
};
std::unique_ptr<SyntheticTask> OverviewPyramidTest::strip_;

QColor Mean(QColor a, QColor b) {
    return QColor((a.red() + b.red() + 1) / 2, (a.green() + b.green() + 1) / 2, (a.blue() + b.blue() + 1) / 2);
}

QImage RenderStrip(const task::SavedProject& project, const std::string& cache, double scale) {
    qt::MapRenderer renderer(project, qt::MapRenderer::kDefaultCacheBytes, 0, cache);
    Viewport view(300, 20);
    view.Fit(renderer.Grid());
    view.SetScale(scale, renderer.Grid());
    return renderer.Render(view, {false, false, false});
}

std::map<std::string, std::string> CacheFiles(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
        if (e.is_regular_file())
            files[e.path().string()] = testing::ReadBytes(e.path().string());
    return files;
}

} // namespace

// Level 8 shows each tile as one pixel, level 9 the mean of two; the one
// row is half a pixel high there, so its pixels are half transparent with
// the row's own colours, never darkened by what lies beyond the grid.
TEST_F(OverviewPyramidTest, EachLevelIsTheAlphaWeightedMeanOfTheOneBelow)
{
    SyntheticTask& t = Strip();
    testing::TempFolder cache;
    std::string error;
    auto project = qt::OpenViewerProject(t.ProjectPath(), error);
    ASSERT_TRUE(project) << error;
    const MapGrid grid = MapGrid::OfTask(project->Task());
    ASSERT_EQ(grid.MaxLevel(), 9);
    qt::OverviewPyramid pyramid(*project, grid, cache.Path());

    const QImage eight = pyramid.Build({8, 0, 0}).convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(eight.size(), QSize(256, 256));
    for (int x = 0; x < 256; ++x) {
        EXPECT_TRUE(Near(eight.pixelColor(x, 0), t.ColourOf(x, 500), 2)) << x;
        EXPECT_EQ(eight.pixelColor(x, 0).alpha(), 255) << x;
        EXPECT_EQ(eight.pixelColor(x, 1).alpha(), 0) << x;
    }
    const QImage nine = pyramid.Build({9, 0, 0}).convertToFormat(QImage::Format_ARGB32);
    for (int x = 0; x < kColumns / 2; ++x) {
        EXPECT_TRUE(Near(nine.pixelColor(x, 0), Mean(t.ColourOf(2 * x, 500), t.ColourOf(2 * x + 1, 500)), 3)) << x;
        EXPECT_NEAR(nine.pixelColor(x, 0).alpha(), 128, 1) << x;
    }
    EXPECT_EQ(nine.pixelColor(kColumns / 2 + 1, 0).alpha(), 0) << "beyond the grid";
    EXPECT_TRUE(pyramid.IsReady({9, 0, 0}));
    EXPECT_TRUE(pyramid.IsReady({8, 1, 0}));
}

// A zoomed-out render shows every tile in its own place (the sampled
// overviews showed one tile in 16 x 16); a changed tile rebuilds the kept
// images above it, and only those.
TEST_F(OverviewPyramidTest, RenderIsFaithfulAndAChangedTileInvalidatesItsLevels)
{
    SyntheticTask& t = Strip();
    testing::TempFolder cache;
    std::string error;
    auto project = qt::OpenViewerProject(t.ProjectPath(), error);
    ASSERT_TRUE(project) << error;

    // The strip is 260 pixels wide at 1/256, from x = 20.
    const QImage first = RenderStrip(*project, cache.Path(), 1.0 / 256);
    int wrong = 0;
    for (int x = 0; x < kColumns; ++x)
        wrong += !Near(first.pixelColor(20 + x, 10), t.ColourOf(x, 500), 3);
    EXPECT_EQ(wrong, 0) << "of " << kColumns << " tiles";

    const auto kept = CacheFiles(cache.Path());
    EXPECT_GE(kept.size(), 5u) << "levels 4 to 8 of the strip are kept";

    // Unchanged tiles: the kept images are read back, not rebuilt.
    RenderStrip(*project, cache.Path(), 1.0 / 256);
    EXPECT_EQ(CacheFiles(cache.Path()), kept);

    const QColor changed(250, 10, 250);
    t.WriteTile(100, 500, changed);
    const QImage second = RenderStrip(*project, cache.Path(), 1.0 / 256);
    EXPECT_TRUE(Near(second.pixelColor(120, 10), changed, 3)) << second.pixelColor(120, 10).name().toStdString();
    EXPECT_TRUE(Near(second.pixelColor(121, 10), t.ColourOf(101, 500), 3));
    const auto after = CacheFiles(cache.Path());
    int rewritten = 0;
    for (const auto& [path, bytes] : after)
        rewritten += kept.count(path) && kept.at(path) != bytes;
    // Tile 100 lies under one image of each of levels 4 to 8 (level 9 is
    // not shown at this scale and not yet looked at).
    EXPECT_EQ(rewritten, 5);
    t.WriteTile(100, 500, t.ColourOf(100, 500));
}

// Tiles looked at ahead, on several threads, give each image the digest a
// check one by one gives: the kept images are read back, not rebuilt. What
// was looked at serves one check only: once dropped (a later look ahead, or
// Forget), a tile changed since shows its new colour.
TEST_F(OverviewPyramidTest, TilesLookedAtAheadMatchAndAreDroppedAfterUse)
{
    SyntheticTask& t = Strip();
    testing::TempFolder cache;
    std::string error;
    auto project = qt::OpenViewerProject(t.ProjectPath(), error);
    ASSERT_TRUE(project) << error;
    const MapGrid grid = MapGrid::OfTask(project->Task());
    {
        qt::OverviewPyramid first(*project, grid, cache.Path());
        first.Build({8, 0, 0});
    }
    const auto kept = CacheFiles(cache.Path());
    ASSERT_GE(kept.size(), 5u);

    qt::OverviewPyramid pyramid(*project, grid, cache.Path());
    pyramid.LookAhead({{8, 0, 0}, {8, 1, 0}, {3, 0, 0}});
    QImage eight = pyramid.Build({8, 0, 0}).convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(CacheFiles(cache.Path()), kept) << "the same digests: nothing built again";
    EXPECT_TRUE(Near(eight.pixelColor(100, 0), t.ColourOf(100, 500), 2));
    EXPECT_TRUE(Near(eight.pixelColor(255, 0), t.ColourOf(255, 500), 2));

    // Looked at, then the tile changes; the next look ahead drops what the
    // first saw, so the check looks at the tiles again.
    const QColor changed(250, 10, 250);
    pyramid.Forget();
    pyramid.LookAhead({{8, 0, 0}});
    t.WriteTile(100, 500, changed);
    pyramid.LookAhead({});
    eight = pyramid.Build({8, 0, 0}).convertToFormat(QImage::Format_ARGB32);
    EXPECT_TRUE(Near(eight.pixelColor(100, 0), changed, 3)) << eight.pixelColor(100, 0).name().toStdString();

    // The same through Forget.
    pyramid.Forget();
    pyramid.LookAhead({{8, 0, 0}});
    t.WriteTile(100, 500, t.ColourOf(100, 500));
    pyramid.Forget();
    eight = pyramid.Build({8, 0, 0}).convertToFormat(QImage::Format_ARGB32);
    EXPECT_TRUE(Near(eight.pixelColor(100, 0), t.ColourOf(100, 500), 3));
    EXPECT_TRUE(Near(eight.pixelColor(101, 0), t.ColourOf(101, 500), 3));
}

} // namespace kartivo::view
