#include "view/MapGrid.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "core/Commonfunc.h"
#include "task/SavedProject.h"
#include "task/Unitclasstask.h"

namespace kartivo::view {

namespace {

constexpr double kPi = 3.141592653589793;
// The latitude of the grid's north and south edge, TileYToLat(2^z) to ten decimals.
constexpr double kMercatorLimit = 85.0511287798;

} // namespace

MapGrid::MapGrid(int xmin, int xmax, int ymin, int ymax, int zoom, int tileWidth, int tileHeight)
    : xmin_(xmin), xmax_(xmax), ymin_(ymin), ymax_(ymax), zoom_(zoom), tileW_(tileWidth), tileH_(tileHeight)
{
}

MapGrid MapGrid::OfTask(const task::KvTask& task)
{
    return MapGrid(task.Xmin, task.Xmax, task.Ymin, task.Ymax, task.Params.Zoom, task.TileWidth,
                   task.TileHeight);
}

bool MapGrid::TileAt(MapPoint p, int& x, int& y) const
{
    if (!(p.X >= 0 && p.Y >= 0 && p.X < Width() && p.Y < Height()))
        return false;
    x = xmin_ + static_cast<int>(p.X / tileW_);
    y = ymax_ - static_cast<int>(p.Y / tileH_);
    return x <= xmax_ && y >= ymin_;
}

MapRect MapGrid::TileRect(int x, int y) const
{
    const double left = double(x - xmin_) * tileW_;
    const double top = double(ymax_ - y) * tileH_;
    return {left, top, left + tileW_, top + tileH_};
}

MapPoint MapGrid::LonLatToMap(double lon, double lat) const
{
    const double world = std::ldexp(1.0, zoom_);
    lat = std::clamp(lat, -kMercatorLimit, kMercatorLimit);
    // Fractional column and row edges: the inverses of TileXToLon and TileYToLat.
    const double ex = (lon + 180.0) / 360.0 * world;
    const double mercator = std::log(std::tan(kPi * 0.25 + lat * kPi / 360.0));
    const double ey = (mercator / kPi + 1.0) * 0.5 * world;
    return {(ex - xmin_) * tileW_, (ymax_ + 1 - ey) * tileH_};
}

LonLat MapGrid::MapToLonLat(MapPoint p) const
{
    return {core::TileXToLon(xmin_ + p.X / tileW_, zoom_), core::TileYToLat(ymax_ + 1 - p.Y / tileH_, zoom_)};
}

int MapGrid::MaxLevel() const
{
    const int span = std::max(Columns(), Rows());
    int level = 0;
    while ((std::int64_t(1) << level) < span)
        ++level;
    return level;
}

MapRect MapGrid::KeyRect(const PyramidKey& k) const
{
    const double w = std::ldexp(double(tileW_), k.Level);
    const double h = std::ldexp(double(tileH_), k.Level);
    return {k.Col * w, k.Row * h, (k.Col + 1) * w, (k.Row + 1) * h};
}

std::vector<PyramidKey> MapGrid::KeysCovering(const MapRect& r, int level) const
{
    std::vector<PyramidKey> keys;
    const double left = std::max(r.Left, 0.0), top = std::max(r.Top, 0.0);
    const double right = std::min(r.Right, Width()), bottom = std::min(r.Bottom, Height());
    if (!(left < right && top < bottom))
        return keys;
    const double w = std::ldexp(double(tileW_), level);
    const double h = std::ldexp(double(tileH_), level);
    const int c0 = static_cast<int>(left / w), c1 = static_cast<int>(std::ceil(right / w)) - 1;
    const int r0 = static_cast<int>(top / h), r1 = static_cast<int>(std::ceil(bottom / h)) - 1;
    keys.reserve(std::size_t(c1 - c0 + 1) * std::size_t(r1 - r0 + 1));
    for (int c = c0; c <= c1; ++c)
        for (int row = r0; row <= r1; ++row)
            keys.push_back({level, c, row});
    // The middle of the view fills in first.
    const double cx = (left + right) / 2 / w - 0.5, cy = (top + bottom) / 2 / h - 0.5;
    std::stable_sort(keys.begin(), keys.end(), [&](const PyramidKey& a, const PyramidKey& b) {
        return std::hypot(a.Col - cx, a.Row - cy) < std::hypot(b.Col - cx, b.Row - cy);
    });
    return keys;
}

std::vector<OverviewCell> MapGrid::CellsOf(const PyramidKey& k) const
{
    std::vector<OverviewCell> cells;
    const std::int64_t span = std::int64_t(1) << k.Level; // tiles per side
    const int cellsPerSide = static_cast<int>(std::min<std::int64_t>(span, kExactSpan));
    const std::int64_t block = span / cellsPerSide; // tiles per cell side
    for (int i = 0; i < cellsPerSide; ++i) {
        // The columns of the grid this cell's block covers, clipped to the grid.
        const std::int64_t first = k.Col * span + i * block;
        const std::int64_t last = std::min<std::int64_t>(first + block, Columns()) - 1;
        if (first > last)
            break;
        for (int j = 0; j < cellsPerSide; ++j) {
            const std::int64_t firstRow = k.Row * span + j * block;
            const std::int64_t lastRow = std::min<std::int64_t>(firstRow + block, Rows()) - 1;
            if (firstRow > lastRow)
                break;
            OverviewCell cell;
            cell.X = xmin_ + static_cast<int>((first + last) / 2);
            cell.Y = ymax_ - static_cast<int>((firstRow + lastRow) / 2);
            // A block cut by the grid's edge gets only the part of its cell
            // that lies on the grid, so nothing is drawn beyond the task.
            const std::int64_t x0 = i * block, x1 = x0 + (last - first + 1);
            const std::int64_t y0 = j * block, y1 = y0 + (lastRow - firstRow + 1);
            cell.Left = static_cast<int>(x0 * tileW_ / span);
            cell.Top = static_cast<int>(y0 * tileH_ / span);
            cell.Width = std::max(1, static_cast<int>(x1 * tileW_ / span) - cell.Left);
            cell.Height = std::max(1, static_cast<int>(y1 * tileH_ / span) - cell.Top);
            cells.push_back(cell);
        }
    }
    return cells;
}

std::vector<std::pair<int, int>> MapGrid::FailedTiles(const task::SavedProject& project)
{
    std::vector<std::pair<int, int>> tiles;
    const task::KvTask& task = project.Task();
    for (const std::string& name : project.FailedTileNames()) {
        // prefix_x_y_zoom.ext: the column and row sit between the first three '_'.
        const auto a = name.find('_');
        const auto b = a == std::string::npos ? a : name.find('_', a + 1);
        const auto c = b == std::string::npos ? b : name.find('_', b + 1);
        if (c == std::string::npos)
            continue;
        int x = 0, y = 0;
        auto rx = std::from_chars(name.data() + a + 1, name.data() + b, x);
        auto ry = std::from_chars(name.data() + b + 1, name.data() + c, y);
        if (rx.ec != std::errc() || ry.ec != std::errc() || rx.ptr != name.data() + b ||
            ry.ptr != name.data() + c)
            continue;
        if (x < task.Xmin || x > task.Xmax || y < task.Ymin || y > task.Ymax ||
            task.GetTileFileName(x, y) != name)
            continue;
        tiles.emplace_back(x, y);
    }
    std::sort(tiles.begin(), tiles.end());
    return tiles;
}

} // namespace kartivo::view
