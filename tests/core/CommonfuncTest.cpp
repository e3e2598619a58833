#include "core/Commonfunc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace kartivo::core {

namespace {

constexpr double kMapEdge = 85.0511287798; // to ten decimals
constexpr double kTenDecimals = 5e-11;

int Side(int zoom) { return 1 << zoom; }

class GeometryAtZoom : public ::testing::TestWithParam<int> {
protected:
    int z = GetParam();
};

TEST_P(GeometryAtZoom, ColumnEdgesOfTheWorld)
{
    EXPECT_EQ(LonToTileX(-180, z), 0);
    // 1/360 is held slightly too small, so 180 stays in the last column.
    EXPECT_EQ(LonToTileX(180, z), Side(z) - 1);
    EXPECT_EQ(TileXToLon(0, z), -180.0);
    EXPECT_EQ(TileXToLon(Side(z), z), 180.0);
    EXPECT_EQ(TileXToLon(Side(z) / 2, z), 0.0);
}

TEST_P(GeometryAtZoom, RowEdgesOfTheWorld)
{
    EXPECT_NEAR(TileYToLat(0, z), -kMapEdge, kTenDecimals);
    EXPECT_NEAR(TileYToLat(Side(z), z), kMapEdge, kTenDecimals);
    EXPECT_NEAR(TileYToLat(Side(z) / 2, z), 0.0, 1e-14);
    // The tangent of the double π/4 is slightly below 1: the equator falls
    // into the row just south of it.
    EXPECT_EQ(LatToTileY(0, z), Side(z) / 2 - 1);
}

TEST_P(GeometryAtZoom, AcceptedLatitudeLimits)
{
    // Scaling by 2^z is exact, so every zoom agrees with zoom 20 shifted.
    EXPECT_EQ(LatToTileY(85, z), 1046858 >> (20 - z));
    EXPECT_EQ(LatToTileY(-85, z), 1717 >> (20 - z));
    EXPECT_LE(LatToTileY(85, z), Side(z) - 1);
    EXPECT_GE(LatToTileY(-85, z), 0);
}

TEST_P(GeometryAtZoom, WorkedExamplePointAgreesWithZoom13)
{
    EXPECT_EQ(LonToTileX(2.3522, z) >> (z >= 13 ? z - 13 : 0), z >= 13 ? 4149 : (4149 >> (13 - z)));
    EXPECT_EQ(LatToTileY(48.8566, z) >> (z >= 13 ? z - 13 : 0), z >= 13 ? 5373 : (5373 >> (13 - z)));
}

TEST_P(GeometryAtZoom, MidpointsOfSampledTilesMapBackToThem)
{
    const int last = Side(z) - 1;
    const int samples[] = {0, 1, last / 3, last / 2, last / 2 + 1, last - 1, last};
    for (int x : samples) {
        double mid = (TileXToLon(x, z) + TileXToLon(x + 1.0, z)) / 2;
        EXPECT_EQ(LonToTileX(mid, z), x) << "column " << x;
    }
    for (int y : samples) {
        double mid = TileYToLat(y + 0.5, z);
        if (mid < -85 || mid > 85)
            continue; // outside the accepted input
        EXPECT_EQ(LatToTileY(mid, z), y) << "row " << y;
    }
}

TEST_P(GeometryAtZoom, TileEdgesFollowTheMercatorFormulaAndMeetTheirNeighbours)
{
    const int x = Side(z) / 3, y = Side(z) / 2 + 1;
    TileEdges e = EdgesOfTile(x, y, z);
    // Columns are linear in longitude: x * 360 / 2^z - 180, exact in doubles
    // for every column at every zoom.
    EXPECT_EQ(e.Left, x * 360.0 / Side(z) - 180);
    EXPECT_EQ(e.Right, (x + 1) * 360.0 / Side(z) - 180);
    // Rows (from the south) by the Gudermannian, atan(sinh(pi * (2y / 2^z - 1))),
    // a different formula from the code's 2 atan(exp(.)) - 90.
    auto rowEdge = [this](int row) {
        const long double pi = 3.14159265358979323846L;
        return static_cast<double>(std::atan(std::sinh(pi * (2.0L * row / Side(z) - 1))) * 180 / pi);
    };
    EXPECT_NEAR(e.Bottom, rowEdge(y), kTenDecimals);
    EXPECT_NEAR(e.Top, rowEdge(y + 1), kTenDecimals);
    // Neighbours share their edges exactly, with no gap or overlap.
    EXPECT_EQ(EdgesOfTile(x + 1, y, z).Left, e.Right);
    EXPECT_EQ(EdgesOfTile(x, y + 1, z).Bottom, e.Top);
}

TEST_P(GeometryAtZoom, RightEdge180AndLeftEdgeMinus180)
{
    TileRange r = ComputeTileRange(-180, 180, 10, -10, z);
    EXPECT_EQ(r.Xmin, 0);
    EXPECT_EQ(r.Xmax, Side(z) - 1);
    EXPECT_EQ(r.West, -180.0);
    EXPECT_EQ(r.East, 180.0);
}

TEST_P(GeometryAtZoom, WholeAcceptedWorldCountsIn64Bits)
{
    TileRange r = ComputeTileRange(-180, 180, 85, -85, z);
    EXPECT_EQ(r.Ymin, 1717 >> (20 - z));
    EXPECT_EQ(r.Ymax, 1046858 >> (20 - z));
    EXPECT_EQ(r.TileCount, static_cast<std::int64_t>(Side(z)) * (r.Ymax - r.Ymin + 1));
    EXPECT_GT(r.TileCount, 0);
}

INSTANTIATE_TEST_SUITE_P(AllZooms, GeometryAtZoom, ::testing::Range(1, 21),
                         [](const auto& info) { return "Zoom" + std::to_string(info.param); });

TEST(Geometry, ColumnEdgesFallWest)
{
    EXPECT_EQ(LonToTileX(0, 1), 0);
    EXPECT_EQ(LonToTileX(-90, 2), 0);
    EXPECT_EQ(LonToTileX(0, 2), 1);
}

TEST(Geometry, LatitudeLimitsAtZoom1And20)
{
    EXPECT_EQ(LatToTileY(85, 1), 1);
    EXPECT_EQ(LatToTileY(-85, 1), 0);
    EXPECT_EQ(LatToTileY(85, 20), 1046858);
    EXPECT_EQ(LatToTileY(-85, 20), 1717);
}

TEST(Geometry, WorkedExample)
{
    EXPECT_EQ(LonToTileX(2.3522, 13), 4149);
    EXPECT_EQ(LatToTileY(48.8566, 13), 5373);
    TileEdges e = EdgesOfTile(4149, 5373, 13);
    EXPECT_EQ(e.Left, 2.3291015625);
    EXPECT_EQ(e.Right, 2.373046875);
    EXPECT_NEAR(e.Bottom, 48.8357974624, kTenDecimals);
    EXPECT_NEAR(e.Top, 48.8647147618, kTenDecimals);
}

TEST(Geometry, AreaInsideOneTileIsThatTileWithItsEdges)
{
    TileRange r = ComputeTileRange(2.34, 2.36, 48.86, 48.85, 13);
    EXPECT_EQ(r.TileCount, 1);
    EXPECT_EQ(r.Xmin, 4149);
    EXPECT_EQ(r.Xmax, 4149);
    EXPECT_EQ(r.Ymin, 5373);
    EXPECT_EQ(r.Ymax, 5373);
    // The worked example's tile edges.
    EXPECT_EQ(r.West, 2.3291015625);
    EXPECT_EQ(r.East, 2.373046875);
    EXPECT_NEAR(r.North, 48.8647147618, kTenDecimals);
    EXPECT_NEAR(r.South, 48.8357974624, kTenDecimals);
}

TEST(Geometry, WholeWorldAtZoom1)
{
    TileRange r = ComputeTileRange(-180, 180, 85, -85, 1);
    EXPECT_EQ(r.Xmin, 0);
    EXPECT_EQ(r.Xmax, 1);
    EXPECT_EQ(r.Ymin, 0);
    EXPECT_EQ(r.Ymax, 1);
    EXPECT_EQ(r.TileCount, 4);
    EXPECT_EQ(r.West, -180.0);
    EXPECT_EQ(r.East, 180.0);
    EXPECT_NEAR(r.North, kMapEdge, kTenDecimals);
    EXPECT_NEAR(r.South, -kMapEdge, kTenDecimals);
}

TEST(Geometry, WholeWorldAtZoom20ExceedsThirtyTwoBits)
{
    TileRange r = ComputeTileRange(-180, 180, 85, -85, 20);
    EXPECT_EQ(r.TileCount, std::int64_t{1048576} * (1046858 - 1717 + 1));
}

TEST(Geometry, RowsAreOrderedWhateverTheInputOrder)
{
    // At zoom 5 the rows around the equator are 15 (-11.18 to 0 degrees) and
    // 16 (0 to 11.18): 11.1784 = atan(sinh(pi / 16)) in degrees.
    TileRange r = ComputeTileRange(0, 10, -10, 10, 5);
    EXPECT_LE(r.Ymin, r.Ymax);
    EXPECT_EQ(r.Ymin, 15);
    EXPECT_EQ(r.Ymax, 16);
}

} // namespace

} // namespace kartivo::core
