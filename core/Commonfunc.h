#pragma once
// Tile geometry of the spherical Mercator grid: longitudes and latitudes to
// tile columns and rows (rows counted from the south) and back, the tile
// range covering an area, and the edges of one tile. Evaluated in 80-bit
// extended precision, which the boundary results depend on.
#include <cstdint>
#include <limits>

namespace kartivo::core {

static_assert(std::numeric_limits<long double>::digits == 64,
              "tile geometry needs 80-bit extended precision");

int LonToTileX(double lon, int zoom);
int LatToTileY(double lat, int zoom);
double TileXToLon(double x, int zoom);
double TileYToLat(double y, int zoom);

// The tiles covering an area, inclusive bounds, and the area enlarged to
// whole tiles. TileCount is 64-bit: the world at zoom 20 has about 10^12.
struct TileRange {
    int Xmin = 0, Ymin = 0, Xmax = 0, Ymax = 0;
    double West = 0, East = 0, North = 0, South = 0;
    std::int64_t TileCount = 0;
};
TileRange ComputeTileRange(double left, double right, double top, double bottom, int zoom);

struct TileEdges {
    double Left = 0, Right = 0, Top = 0, Bottom = 0;
};
TileEdges EdgesOfTile(int x, int y, int zoom);

} // namespace kartivo::core
