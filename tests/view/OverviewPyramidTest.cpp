// The kept overviews: every pixel of a zoomed-out view is the mean of the
// tiles it covers (alpha-weighted at the grid's edge), the images are kept
// in the cache folder and built again when a tile under them changes; they
// carry which tiles lack a picture, so the marks show at every scale.
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <pty.h>
#include <unistd.h>

#include "tests/view/ViewFixture.h"
#include "view/qt/HeadlessRender.h"
#include "view/qt/MapRenderer.h"
#include "view/qt/OverviewPyramid.h"

namespace kartivo::view {

namespace {

using testing::Near;
using testing::SyntheticTask;

// One row of 260 tiles (PNG, so colours are exact): a level-8 overview
// holds one tile a pixel, level 9 two tiles a pixel.
constexpr int kColumns = 260;

class OverviewPyramidTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        strip_ = std::make_unique<SyntheticTask>(testing::TaskShape{0, kColumns - 1, 500, 500, 10, 5},
                                                 "strip.kvpd");
        strip_->WriteAllTiles();
    }
    static void TearDownTestSuite() { strip_.reset(); }
    static SyntheticTask& Strip() { return *strip_; }

private:
    static std::unique_ptr<SyntheticTask> strip_;
};
std::unique_ptr<SyntheticTask> OverviewPyramidTest::strip_;

QColor Mean(QColor a, QColor b)
{
    return QColor((a.red() + b.red() + 1) / 2, (a.green() + b.green() + 1) / 2,
                  (a.blue() + b.blue() + 1) / 2);
}

QImage RenderStrip(const task::SavedProject& project, const std::string& cache, double scale)
{
    qt::MapRenderer renderer(project, qt::MapRenderer::kDefaultCacheBytes, 0, cache);
    Viewport view(300, 20);
    view.Fit(renderer.Grid());
    view.SetScale(scale, renderer.Grid());
    return renderer.Render(view, {false, false, false});
}

std::map<std::string, std::string> CacheFiles(const std::string& folder)
{
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
        EXPECT_TRUE(Near(nine.pixelColor(x, 0), Mean(t.ColourOf(2 * x, 500), t.ColourOf(2 * x + 1, 500)), 3))
            << x;
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
    EXPECT_TRUE(Near(second.pixelColor(120, 10), changed, 3))
        << second.pixelColor(120, 10).name().toStdString();
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

    // A kept image whose digest no longer matches, seen by the look ahead,
    // is built again in a new session (the digest is the header's bytes 8-15).
    const std::string file = pyramid.Folder() + "L4_0_0.kvo";
    const std::string good = testing::ReadBytes(file);
    std::string stale = good;
    stale[8] = static_cast<char>(stale[8] ^ 0x5a);
    testing::WriteBytes(file, stale);
    qt::OverviewPyramid next(*project, grid, cache.Path());
    next.LookAhead({{8, 0, 0}});
    ASSERT_FALSE(next.Build({8, 0, 0}).isNull());
    EXPECT_EQ(testing::ReadBytes(file), good);
}

// Which parts of a kept image lack tiles: a part with none covered, one
// with some tinted, merged where alike; a level above says it of its wider
// parts. Level 8 has a part for 4 tiles, level 9 one for 8.
TEST_F(OverviewPyramidTest, KeptImagesSayWhichPartsLackTiles)
{
    SyntheticTask& t = Strip();
    t.Remove(101, 500);
    for (int x = 104; x <= 107; ++x)
        t.Remove(x, 500);
    testing::TempFolder cache;
    std::string error;
    auto project = qt::OpenViewerProject(t.ProjectPath(), error);
    ASSERT_TRUE(project) << error;
    const MapGrid grid = MapGrid::OfTask(project->Task());
    std::vector<qt::TileMark> eight, nine, again;
    {
        qt::OverviewPyramid pyramid(*project, grid, cache.Path());
        ASSERT_FALSE(pyramid.Build({8, 0, 0}, &eight).isNull());
        ASSERT_FALSE(pyramid.Build({9, 0, 0}, &nine).isNull());
    }
    // Read back by a later run, before and after its check.
    qt::OverviewPyramid later(*project, grid, cache.Path());
    ASSERT_FALSE(later.Unchecked({8, 0, 0}, &again).isNull());
    for (int x = 100; x <= 107; ++x)
        t.WriteTile(x, 500, t.ColourOf(x, 500));

    ASSERT_EQ(eight.size(), 2u);
    std::sort(eight.begin(), eight.end(), [](auto& a, auto& b) { return a.Rect.left() < b.Rect.left(); });
    EXPECT_EQ(eight[0].Rect, QRect(100, 0, 4, 4));
    EXPECT_TRUE(eight[0].Partly);
    EXPECT_EQ(eight[1].Rect, QRect(104, 0, 4, 4));
    EXPECT_FALSE(eight[1].Partly);
    EXPECT_EQ(eight[1].State, task::TileState::Missing);
    ASSERT_EQ(nine.size(), 1u);
    EXPECT_EQ(nine[0].Rect, QRect(48, 0, 8, 4));
    EXPECT_TRUE(nine[0].Partly);
    ASSERT_EQ(again.size(), 2u);
}

// A file of another layout (an earlier version's) is never read as an
// image: it is built again and written in the current layout.
TEST_F(OverviewPyramidTest, AKeptFileOfAnotherLayoutIsBuiltAgain)
{
    SyntheticTask& t = Strip();
    testing::TempFolder cache;
    std::string error;
    auto project = qt::OpenViewerProject(t.ProjectPath(), error);
    ASSERT_TRUE(project) << error;
    const MapGrid grid = MapGrid::OfTask(project->Task());
    std::string file;
    std::string current;
    {
        qt::OverviewPyramid pyramid(*project, grid, cache.Path());
        ASSERT_FALSE(pyramid.Build({4, 0, 0}).isNull());
        file = pyramid.Folder() + "L4_0_0.kvo";
        current = testing::ReadBytes(file);
    }
    // The earlier layout: its magic, the digest, the PNG at once.
    std::string old = current;
    old[6] = '1';
    old.erase(16, qt::OverviewPyramid::kMaskSide * qt::OverviewPyramid::kMaskSide);
    testing::WriteBytes(file, old);
    qt::OverviewPyramid pyramid(*project, grid, cache.Path());
    EXPECT_TRUE(pyramid.Unchecked({4, 0, 0}).isNull());
    EXPECT_FALSE(pyramid.Build({4, 0, 0}).isNull());
    EXPECT_EQ(testing::ReadBytes(file), current);
}

// At 1/32 (a kept level) a block of missing tiles is marked as at larger
// scales, the failed tile in the failed colour, a broken one as missing,
// and nothing else is; without the marks the block is the plain colour of
// a tile without a picture.
TEST(OverviewMarks, AMissingBlockIsMarkedAtOneThirtySecondOverItOnly)
{
    SyntheticTask t({100, 119, 400, 413, 10, 5}, "marks.kvpd");
    t.WriteAllTiles();
    auto inBlock = [](int x, int y) { return x >= 104 && x <= 111 && y >= 403 && y <= 408; };
    for (int x = 104; x <= 111; ++x)
        for (int y = 403; y <= 408; ++y)
            t.Remove(x, y);
    t.Fail({{116, 410}});
    t.WriteBytes(118, 401, "not a picture");
    testing::TempFolder cache;
    std::string error;
    auto project = qt::OpenViewerProject(t.ProjectPath(), error);
    ASSERT_TRUE(project) << error;

    auto blend = [](QColor mark, QColor under) {
        const double a = 150 / 255.0;
        return QColor(int(mark.red() * a + under.red() * (1 - a) + 0.5),
                      int(mark.green() * a + under.green() * (1 - a) + 0.5),
                      int(mark.blue() * a + under.blue() * (1 - a) + 0.5));
    };
    const QColor missing = blend(qt::viewcolors::MissingMark, qt::viewcolors::NoImage);
    for (bool marks : {true, false}) {
        qt::MapRenderer renderer(*project, qt::MapRenderer::kDefaultCacheBytes, 0, cache.Path());
        const MapGrid& grid = renderer.Grid();
        Viewport view(300, 220);
        view.SetCenter({grid.Width() / 2, grid.Height() / 2});
        view.SetScale(1.0 / 32, grid);
        ASSERT_EQ(view.Level(grid), 5);
        const QImage image = renderer.Render(view, {false, false, marks});
        int wrong = 0;
        for (int x = 100; x <= 119; ++x)
            for (int y = 400; y <= 413; ++y) {
                const MapRect r = grid.TileRect(x, y);
                const ScreenPoint p = view.MapToScreen({(r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2});
                const QColor c = image.pixelColor(int(p.X), int(p.Y));
                QColor expected = t.ColourOf(x, y);
                if (inBlock(x, y) || (x == 118 && y == 401))
                    expected = marks ? missing : qt::viewcolors::NoImage;
                else if (x == 116 && y == 410)
                    expected = marks ? qt::viewcolors::FailedMark : qt::viewcolors::NoImage;
                // The block's cross may run through a tile's middle.
                const bool onCross =
                    marks && inBlock(x, y) && Near(c, qt::viewcolors::MissingMark.darker(130), 4);
                if (!Near(c, expected, 4) && !onCross) {
                    ++wrong;
                    ADD_FAILURE() << "tile " << x << "," << y << " marks " << marks << ": "
                                  << c.name().toStdString() << " for " << expected.name().toStdString();
                }
            }
        EXPECT_EQ(wrong, 0);
    }
}

// On a terminal --render counts the overviews it checks or builds, on one
// line it wipes when done; to a file it writes nothing.
TEST_F(OverviewPyramidTest, RenderCountsOverviewsOnATerminalOnly)
{
    SyntheticTask& t = Strip();
    ViewerCommand cmd;
    std::string error;
    ASSERT_TRUE(ParseViewerCommand(
        {"--render", t.Folder() + "count.png", "--size", "300x20", "--scale", "0.00390625", t.ProjectPath()},
        cmd, error))
        << error;
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    std::FILE* terminal = ::fdopen(slave, "w");
    ASSERT_TRUE(terminal);
    ASSERT_EQ(qt::RenderProject(cmd, error, terminal), qt::RenderOutcome::Written) << error;
    std::fclose(terminal);
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
        shown.append(buffer, std::size_t(n));
    ::close(master);
    // Levels 4 to 8 under the two level-8 images: 17 + 9 + 5 + 3 + 2.
    EXPECT_NE(shown.find("\rBuilding overviews: 1 of 36"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Building overviews: 36 of 36"), std::string::npos) << shown;
    const std::string wipe =
        "\r" + std::string(std::string("Building overviews: 36 of 36").size(), ' ') + "\r";
    ASSERT_GE(shown.size(), wipe.size());
    EXPECT_EQ(shown.substr(shown.size() - wipe.size()), wipe);

    std::FILE* file = std::tmpfile();
    ASSERT_TRUE(file);
    ASSERT_EQ(qt::RenderProject(cmd, error, file), qt::RenderOutcome::Written) << error;
    EXPECT_EQ(std::ftell(file), 0L);
    std::fclose(file);
}

} // namespace kartivo::view
