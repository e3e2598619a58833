#include "core/Commonfunc.h"

#include <cmath>

namespace kartivo::core {

// Every step runs in 80-bit extended precision (long double on x86-64), in
// the order written; only the argument of tan, log, exp and atan is rounded
// to double first. Rounding after each step would move results that sit on
// a column or row edge into the neighbouring tile.

namespace {

// π is the double nearest to π, used as such inside extended arithmetic.
constexpr long double kPi = 3.141592653589793;
// The extended values nearest to 1/360 and 1/180; both lie slightly below
// the true fractions, which is why a longitude exactly on a column edge can
// fall into the column west of it.
constexpr long double kInv360 = 1.0L / 360.0L;
constexpr long double kInv180 = 1.0L / 180.0L;

// 2^zoom, formed as an integer and then converted.
long double TilesPerSide(int zoom) { return static_cast<long double>(static_cast<std::int64_t>(1) << zoom); }

long double RoundToDouble(long double v) { return static_cast<double>(v); }

} // namespace

int LonToTileX(double lon, int zoom)
{
    long double t = static_cast<long double>(lon) + 180;
    t = t * kInv360;
    t = t * TilesPerSide(zoom);
    return static_cast<int>(t); // truncation; t is never negative for accepted input
}

int LatToTileY(double lat, int zoom)
{
    long double a = kPi * 0.25L + kInv180 * static_cast<long double>(lat) * kPi * 0.5L;
    long double tangent = std::tan(RoundToDouble(a));
    long double v = std::log(RoundToDouble(tangent)) / kPi;
    v = (v + 1) * 0.5L * TilesPerSide(zoom);
    return static_cast<int>(v);
}

double TileXToLon(double x, int zoom)
{
    return static_cast<double>(360 * static_cast<long double>(x) / TilesPerSide(zoom) - 180);
}

double TileYToLat(double y, int zoom)
{
    long double e = kPi * (2 * static_cast<long double>(y) / TilesPerSide(zoom) - 1);
    long double ex = std::exp(RoundToDouble(e));
    long double angle = std::atan(RoundToDouble(ex));
    return static_cast<double>(angle * 360 / kPi - 90);
}

TileRange ComputeTileRange(double left, double right, double top, double bottom, int zoom)
{
    TileRange r;
    r.Xmin = LonToTileX(left, zoom);
    r.Xmax = LonToTileX(right, zoom);
    int yBottom = LatToTileY(bottom, zoom);
    int yTop = LatToTileY(top, zoom);
    r.West = TileXToLon(r.Xmin, zoom);
    r.East = TileXToLon(static_cast<double>(r.Xmax) + 1, zoom);
    r.North = TileYToLat(static_cast<double>(yTop) + 1, zoom);
    r.South = TileYToLat(yBottom, zoom);
    r.Ymin = yBottom;
    r.Ymax = yTop;
    if (yTop < yBottom) {
        r.Ymin = yTop;
        r.Ymax = yBottom;
    }
    // 64 bits: the accepted world at zoom 20 has about 10^12 tiles.
    r.TileCount =
        (static_cast<std::int64_t>(r.Xmax) - r.Xmin + 1) * (static_cast<std::int64_t>(r.Ymax) - r.Ymin + 1);
    return r;
}

TileEdges EdgesOfTile(int x, int y, int zoom)
{
    TileEdges e;
    e.Left = TileXToLon(x, zoom);
    e.Right = TileXToLon(static_cast<double>(x) + 1, zoom);
    e.Top = TileYToLat(static_cast<double>(y) + 1, zoom);
    e.Bottom = TileYToLat(y, zoom);
    return e;
}

} // namespace kartivo::core
