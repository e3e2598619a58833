// The viewer's logic without painting: the map grid against Kartivo's tile
// geometry, the pyramid's reads staying bounded, the view's zoom about a
// point, the byte-bounded cache, the read-out and copied texts, the command
// line and the recent list.
#include <cmath>
#include <limits>
#include <utility>

#include "core/Commonfunc.h"
#include "platform/Files.h"
#include "tests/support/TempFolder.h"
#include "view/ByteCache.h"
#include "view/CommandLine.h"
#include "view/MapGrid.h"
#include "view/ReadOut.h"
#include "view/RecentList.h"
#include "view/Viewport.h"

#include <gtest/gtest.h>

namespace kartivo::view {

namespace {

// The map pixel of a point and back, and the tile under it, agree with
// core/ geometry for square and bird's eye tiles.
TEST(MapGrid, PixelsAndDegreesAgreeWithTileGeometry)
{
    for (int tileH : {256, 180}) {
        const int z = 13;
        const MapGrid g(4140, 4160, 5360, 5380, z, 256, tileH);
        // The worked example's point lies in column 4149, row 5373.
        const MapPoint p = g.LonLatToMap(2.3522, 48.8566);
        int x = 0, y = 0;
        ASSERT_TRUE(g.TileAt(p, x, y));
        EXPECT_EQ(x, core::LonToTileX(2.3522, z));
        EXPECT_EQ(y, core::LatToTileY(48.8566, z));
        const LonLat back = g.MapToLonLat(p);
        EXPECT_NEAR(back.Lon, 2.3522, 1e-9);
        EXPECT_NEAR(back.Lat, 48.8566, 1e-9);
        // Tile corners land on whole multiples of the tile size.
        const core::TileEdges e = core::EdgesOfTile(4149, 5373, z);
        const MapPoint nw = g.LonLatToMap(e.Left, e.Top), se = g.LonLatToMap(e.Right, e.Bottom);
        const MapRect r = g.TileRect(4149, 5373);
        EXPECT_NEAR(nw.X, r.Left, 1e-6);
        EXPECT_NEAR(nw.Y, r.Top, 1e-6);
        EXPECT_NEAR(se.X, r.Right, 1e-6);
        EXPECT_NEAR(se.Y, r.Bottom, 1e-6);
        // Rows are linear in Mercator y: the Mercator middle of a tile is its pixel middle.
        EXPECT_NEAR(g.LonLatToMap(0, core::TileYToLat(5373.5, z)).Y, (r.Top + r.Bottom) / 2, 1e-6);
        // Outside the grid there is no tile.
        EXPECT_FALSE(g.TileAt({-0.5, 10}, x, y));
        EXPECT_FALSE(g.TileAt({10, g.Height()}, x, y));
    }
}

// Whatever the task's size, one overview reads at most 256 tiles, all of
// them tiles of the task drawn inside the image.
TEST(MapGrid, OverviewsReadABoundedNumberOfTiles)
{
    const MapGrid g(0, 999, 0, 999, 10, 256, 256); // a million tiles
    EXPECT_EQ(g.MaxLevel(), 10);
    for (int level : {1, 4, 5, 8, 10}) {
        std::size_t most = 0;
        const int n = (1000 + (1 << level) - 1) >> level;
        for (int c = 0; c < n; ++c)
            for (int r = 0; r < n; r += std::max(1, n / 3)) {
                const auto cells = g.CellsOf({level, c, r});
                most = std::max(most, cells.size());
                for (const OverviewCell& cell : cells) {
                    EXPECT_GE(cell.X, 0);
                    EXPECT_LE(cell.X, 999);
                    EXPECT_GE(cell.Y, 0);
                    EXPECT_LE(cell.Y, 999);
                    EXPECT_GE(cell.Width, 1);
                    EXPECT_LE(cell.Left + cell.Width, 256);
                    EXPECT_LE(cell.Top + cell.Height, 256);
                }
            }
        EXPECT_LE(most, 256u) << level;
    }
    // The last overview of a row holds only the grid's remaining columns:
    // 1000 = 3 x 256 + 232, drawn in 232/256 of the image (cells of 16 tiles).
    const auto edge = g.CellsOf({8, 3, 0});
    int right = 0;
    for (const OverviewCell& c : edge)
        right = std::max(right, c.Left + c.Width);
    EXPECT_EQ(right, 232);
    // A view of the whole task at its fitted scale needs a handful of images.
    Viewport v(1920, 1080);
    v.Fit(g);
    EXPECT_LE(g.KeysCovering(v.VisibleMap(), v.Level(g)).size(), 16u);
}

TEST(Viewport, ZoomKeepsThePointUnderTheCursorAndStaysInLimits)
{
    const MapGrid g(0, 9, 0, 9, 8, 256, 180);
    Viewport v(800, 600);
    v.Fit(g);
    EXPECT_DOUBLE_EQ(v.Scale(), std::min(800.0 / 2560, 600.0 / 1800));
    const ScreenPoint cursor{123, 456};
    const MapPoint before = v.ScreenToMap(cursor);
    v.ZoomAbout(cursor, 3.0, g);
    const MapPoint after = v.ScreenToMap(cursor);
    EXPECT_NEAR(after.X, before.X, 1e-9);
    EXPECT_NEAR(after.Y, before.Y, 1e-9);
    for (int i = 0; i < 40; ++i)
        v.ZoomAbout(cursor, 2.0, g);
    EXPECT_EQ(v.Scale(), Viewport::kMaxScale);
    EXPECT_EQ(v.Level(g), 0);
    for (int i = 0; i < 80; ++i)
        v.ZoomAbout(cursor, 0.5, g);
    EXPECT_EQ(v.Scale(), Viewport::MinScale(g, 800, 600));
    EXPECT_EQ(v.Level(g), g.MaxLevel());
    // A drag to the right shows what lies west.
    const MapPoint c = v.Center();
    v.Pan(10, 0);
    EXPECT_LT(v.Center().X, c.X);
}

// An image of pyramid level L covers 2^L tile pixels per pixel, so at scale
// s it is shown at s * 2^L of its own size: the level drawn is the one whose
// images come nearest to their own size (a coarser one would be blurred
// magnified, a finer one read four times the tiles).
TEST(Viewport, LevelShowsOverviewsNearestToTheirOwnSize)
{
    const MapGrid g(0, 999, 0, 999, 10, 256, 180); // bird's eye, levels 0 to 10
    Viewport v(1920, 1080);
    const std::pair<double, int> cases[] = {{4.0, 0},         {1.0, 0},        {0.75, 0}, {0.7, 1},
                                            {0.5, 1},         {0.36, 1},       {0.25, 2}, {1.0 / 8, 3},
                                            {1.0 / 1024, 10}, {1.0 / 4096, 10}};
    for (const auto& [scale, level] : cases) {
        v.SetExactScale(scale);
        EXPECT_EQ(v.Level(g), level) << "scale " << scale;
    }
    for (double scale = 2.0; scale > 1.0 / 2048; scale *= 0.93) {
        v.SetExactScale(scale);
        const int chosen = v.Level(g);
        const double shown = std::abs(std::log2(scale * std::ldexp(1.0, chosen)));
        for (int other = 0; other <= g.MaxLevel(); ++other)
            EXPECT_LE(shown, std::abs(std::log2(scale * std::ldexp(1.0, other))) + 1e-9)
                << "scale " << scale << ": level " << chosen << " drawn, " << other << " nearer";
    }
}

TEST(ByteCache, DropsLeastRecentlyUsedPastTheBound)
{
    ByteCache<int, std::string> cache(100);
    cache.Insert(1, "a", 40);
    cache.Insert(2, "b", 40);
    ASSERT_TRUE(cache.Find(1)); // 2 is now the oldest
    cache.Insert(3, "c", 40);
    EXPECT_TRUE(cache.Contains(1));
    EXPECT_FALSE(cache.Contains(2));
    EXPECT_TRUE(cache.Contains(3));
    EXPECT_EQ(cache.Bytes(), 80u);
    cache.Insert(3, "c2", 10); // replacing counts the new cost only
    EXPECT_EQ(cache.Bytes(), 50u);
    EXPECT_EQ(*cache.Peek(3), "c2");
    cache.Insert(4, "huge", 500); // larger than the bound: kept alone
    EXPECT_EQ(cache.Count(), 1u);
    EXPECT_EQ(cache.Bytes(), 500u);
}

TEST(ReadOutTexts, DegreesMinutesSecondsCarryAndHemispheres)
{
    EXPECT_EQ(FormatDms(48.8566, true), "48\u00b051'23.76\" N");
    EXPECT_EQ(FormatDms(-2.5, false), "2\u00b030'00.00\" W");
    EXPECT_EQ(FormatDms(-33.9249, true), "33\u00b055'29.64\" S");
    // 59.9999 seconds round up into the next minute and degree.
    EXPECT_EQ(FormatDms(10.99999999, false), "11\u00b000'00.00\" E");
    EXPECT_EQ(FormatDms(-0.000000001, true), "0\u00b000'00.00\" N");
    EXPECT_EQ(FormatDms(180, false), "180\u00b000'00.00\" E");
    EXPECT_EQ(FormatDecimal(-0.00000001, 7), "0.0000000");
    EXPECT_EQ(FormatDecimal(2.3291015625, 7), "2.3291016");
}

TEST(ReadOutTexts, TileAndStateUnderThePoint)
{
    testing::TempFolder dir;
    task::TaskParameters p;
    p.SavePath = dir.Path();
    p.TaskName = "r.kvpd";
    p.Zoom = 13;
    p.MapsType = 5;
    p.LeftLongitude = 2.3522;
    p.RightLongitude = 2.36;
    p.TopLatitude = 48.86;
    p.BottomLatitude = 48.8566;
    task::TaskOrError described = task::KvTask::Describe(p);
    ASSERT_TRUE(described.Task) << described.Error;
    const auto& task = described.Task;
    const MapGrid g = MapGrid::OfTask(*task);
    const ReadOut r = ReadOutAt(g, *task, g.LonLatToMap(2.3522, 48.8566));
    ASSERT_TRUE(r.OnTile);
    EXPECT_EQ(r.X, 4149);
    EXPECT_EQ(r.Y, 5373);
    EXPECT_EQ(r.FileName, "mn_4149_5373_13.png");
    EXPECT_EQ(ReadOutLine(r, StateText(task::TileState::Failed, false)),
              "Lon 2.3522000 (2\u00b021'07.92\" E)   Lat 48.8566000 (48\u00b051'23.76\" N)   "
              "Column 4149, row 5373   mn_4149_5373_13.png   in the failed list");
    EXPECT_EQ(StateText(task::TileState::Blank, false), "blank substitute");
    EXPECT_EQ(StateText(task::TileState::Saved, true), "saved, but not a readable image");
    EXPECT_EQ(StateText(task::TileState::Blank, false, true), "blank substitute, in the failed list");
    EXPECT_EQ(StateText(task::TileState::Failed, false, true), "in the failed list");
    const ReadOut off = ReadOutAt(g, *task, {-10, -10});
    EXPECT_FALSE(off.OnTile);
    EXPECT_EQ(ReadOutLine(off, "saved").find("Column"), std::string::npos);
}

// Counts are grouped by thousands; columns and rows stay as file names write them.
TEST(ReadOutTexts, CountsGroupedByThousands)
{
    EXPECT_EQ(GroupThousands(0), "0");
    EXPECT_EQ(GroupThousands(999), "999");
    EXPECT_EQ(GroupThousands(1000), "1,000");
    EXPECT_EQ(GroupThousands(1000000), "1,000,000");
    EXPECT_EQ(GroupThousands(-1234567), "-1,234,567");
    EXPECT_EQ(GroupThousands(std::numeric_limits<long long>::min()), "-9,223,372,036,854,775,808");
    testing::TempFolder dir;
    task::TaskParameters p;
    p.SavePath = dir.Path();
    p.TaskName = "big.kvpd";
    p.Zoom = 12;
    p.MapsType = 5;
    p.LeftLongitude = 0;
    p.RightLongitude = 10;
    p.TopLatitude = 10;
    p.BottomLatitude = 0;
    task::TaskOrError described = task::KvTask::Describe(p);
    ASSERT_TRUE(described.Task) << described.Error;
    const auto& task = described.Task;
    ASSERT_GT(task->TileCount, 1000);
    EXPECT_EQ(TaskSummary(*task), GroupThousands(task->TileCount) + " tiles, columns " +
                                      std::to_string(task->Xmin) + " to " + std::to_string(task->Xmax) +
                                      ", rows " + std::to_string(task->Ymin) + " to " +
                                      std::to_string(task->Ymax) + ", zoom 12");
}

// The copied selection in the main window's order, held to what it accepts.
TEST(ReadOutTexts, SelectionCopiesTheDraggedTileEdgesLeftRightTopBottom)
{
    const int z = 13;
    const MapGrid g(4149, 4150, 5373, 5374, z, 256, 256);
    // Dragged from the south-east corner to the north-west one.
    const AreaDegrees a = SelectionArea(g, {512, 512}, {0, 0});
    // The outer edges of the four tiles: columns 4149 and 4151 * 360 / 2^13 - 180,
    // rows 5373 and 5375 by atan(sinh(pi * (2y / 2^13 - 1))) in degrees.
    EXPECT_DOUBLE_EQ(a.Left, 2.3291015625);
    EXPECT_DOUBLE_EQ(a.Right, 2.4169921875);
    EXPECT_NEAR(a.Top, 48.8936153614802, 1e-12);
    EXPECT_NEAR(a.Bottom, 48.8357974624309, 1e-12);
    EXPECT_EQ(SelectionText(a),
              "Left Longitude: 2.3291016\nRight Longitude: 2.4169922\n"
              "Top Latitude: 48.8936154\nBottom Latitude: 48.8357975\n");
    const MapGrid world(0, 1, 0, 1, 1, 256, 256);
    const AreaDegrees w = SelectionArea(world, {-1000, -1000}, {2000, 2000});
    EXPECT_EQ(w.Left, -180);
    EXPECT_EQ(w.Right, 180);
    EXPECT_EQ(w.Top, 85);
    EXPECT_EQ(w.Bottom, -85);
}

TEST(CommandLine, RenderOptionsAndRefusals)
{
    ViewerCommand c;
    std::string e;
    ASSERT_TRUE(ParseViewerCommand({"--render", "o.png", "--size", "640x480", "--center", "2.35,48.85",
                                    "--scale", "0.5", "--grid", "--no-area", "p.kvpd"},
                                   c, e))
        << e;
    EXPECT_EQ(c.Kind, ViewerCommand::Mode::Render);
    EXPECT_EQ(c.Output, "o.png");
    EXPECT_EQ(c.Project, "p.kvpd");
    EXPECT_EQ(c.Width, 640);
    EXPECT_EQ(c.Height, 480);
    EXPECT_DOUBLE_EQ(*c.CenterLon, 2.35);
    EXPECT_DOUBLE_EQ(*c.CenterLat, 48.85);
    EXPECT_DOUBLE_EQ(*c.Scale, 0.5);
    EXPECT_TRUE(c.Show.Grid);
    EXPECT_FALSE(c.Show.Area);
    EXPECT_TRUE(c.Show.Marks);

    ASSERT_TRUE(ParseViewerCommand({}, c, e));
    EXPECT_EQ(c.Kind, ViewerCommand::Mode::Window);
    EXPECT_TRUE(c.Project.empty());
    ASSERT_TRUE(ParseViewerCommand({"/data/a task.kvpd"}, c, e));
    EXPECT_EQ(c.Project, "/data/a task.kvpd");
    ASSERT_TRUE(ParseViewerCommand({"x", "--help"}, c, e));
    EXPECT_EQ(c.Kind, ViewerCommand::Mode::Help);

    const std::vector<std::vector<std::string>> bad = {{"--render"},
                                                       {"--render", "o.png"},
                                                       {"--render", "o.png", "--size", "0x10", "p"},
                                                       {"--render", "o.png", "--size", "100", "p"},
                                                       {"--render", "o.png", "--size", "99999x10", "p"},
                                                       {"--render", "o.png", "--center", "200,0", "p"},
                                                       {"--render", "o.png", "--center", "1;2", "p"},
                                                       {"--render", "o.png", "--scale", "-1", "p"},
                                                       {"--render", "o.png", "--scale", "nan", "p"},
                                                       {"--render", "o.png", "--scale", "inf", "p"},
                                                       {"--bogus"},
                                                       {"a.kvpd", "b.kvpd"},
                                                       {"--scale", "2", "p.kvpd"}};
    for (const auto& args : bad) {
        e.clear();
        EXPECT_FALSE(ParseViewerCommand(args, c, e)) << args[0];
        EXPECT_FALSE(e.empty());
        EXPECT_EQ(e.find('\n'), std::string::npos) << e;
    }
}

TEST(RecentList, NewestFirstWithoutRepeatsAndBounded)
{
    testing::TempFolder dir;
    RecentList list(dir / "config.ini");
    EXPECT_TRUE(list.Load().empty());
    for (int i = 0; i < 10; ++i)
        list.Add("/p/" + std::to_string(i) + ".kvpd");
    std::vector<std::string> got = list.Add("/p/5.kvpd");
    ASSERT_EQ(got.size(), std::size_t(RecentList::kMaxRecent));
    EXPECT_EQ(got[0], "/p/5.kvpd");
    EXPECT_EQ(got[1], "/p/9.kvpd");
    EXPECT_EQ(std::count(got.begin(), got.end(), "/p/5.kvpd"), 1);
    EXPECT_EQ(RecentList(dir / "config.ini").Load(), got);
    EXPECT_EQ(list.Remove("/p/9.kvpd").size(), got.size() - 1);
    list.Clear();
    EXPECT_TRUE(list.Load().empty());
}

} // namespace

} // namespace kartivo::view
