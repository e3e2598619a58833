#pragma once
// The map a task's tiles make when laid side by side: tile (x, y) is one cell
// of a grid of TileWidth x TileHeight pixels, the task's north-west tile at
// the origin, rows running south. Longitudes and latitudes reach the grid
// through core/ tile geometry (linear in Mercator y), and the overview
// pyramid (level L: one image for 2^L x 2^L tiles) is addressed here too.
#include <cstdint>
#include <utility>
#include <vector>

namespace kartivo::task {
class KvTask;
}
namespace kartivo::task {
class SavedProject;
}

namespace kartivo::view {

// A point on the map in full-resolution map pixels.
struct MapPoint {
    double X = 0, Y = 0;
};

struct LonLat {
    double Lon = 0, Lat = 0;
};

// One image of the pyramid: `Col` and `Row` count cells of 2^Level tiles from
// the grid's north-west corner. Level 0 is the tile (Xmin + Col, Ymax - Row).
struct PyramidKey {
    int Level = 0, Col = 0, Row = 0;
    bool operator==(const PyramidKey&) const = default;
};
struct PyramidKeyHash {
    std::size_t operator()(const PyramidKey& k) const noexcept
    {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(k.Col)) << 32 |
                static_cast<std::uint32_t>(k.Row)) *
                   31u +
               static_cast<std::uint64_t>(k.Level);
    }
};

// Where one task tile lands inside an overview image (pixels of that image).
struct OverviewCell {
    int X = 0, Y = 0; // the task tile
    int Left = 0, Top = 0, Width = 0, Height = 0;
};

// A rectangle in map pixels, half-open.
struct MapRect {
    double Left = 0, Top = 0, Right = 0, Bottom = 0;
};

class MapGrid {
public:
    MapGrid(int xmin, int xmax, int ymin, int ymax, int zoom, int tileWidth, int tileHeight);
    static MapGrid OfTask(const task::KvTask& task);

    int Xmin() const { return xmin_; }
    int Xmax() const { return xmax_; }
    int Ymin() const { return ymin_; }
    int Ymax() const { return ymax_; }
    int Zoom() const { return zoom_; }
    int TileWidth() const { return tileW_; }
    int TileHeight() const { return tileH_; }
    int Columns() const { return xmax_ - xmin_ + 1; }
    int Rows() const { return ymax_ - ymin_ + 1; }
    double Width() const { return double(Columns()) * tileW_; }
    double Height() const { return double(Rows()) * tileH_; }

    // The tile under a map pixel; false outside the grid.
    bool TileAt(MapPoint p, int& x, int& y) const;
    // The map pixel rectangle of tile (x, y).
    MapRect TileRect(int x, int y) const;

    // Longitude and latitude to map pixels and back. Columns are linear in
    // longitude, rows linear in Mercator y, exactly as TileXToLon and
    // TileYToLat place the tile edges. Latitudes beyond the Mercator limit
    // are held at it.
    MapPoint LonLatToMap(double lon, double lat) const;
    LonLat MapToLonLat(MapPoint p) const;

    // The coarsest pyramid level: one image holds the whole task.
    int MaxLevel() const;
    // Pyramid cells of a level that meet a map rectangle, nearest to its
    // centre first; empty when the rectangle misses the grid.
    std::vector<PyramidKey> KeysCovering(const MapRect& r, int level) const;
    MapRect KeyRect(const PyramidKey& k) const;
    // The task tiles an overview image (level >= 1) is drawn from, with their
    // place in it. Up to kExactSpan x kExactSpan tiles every tile is drawn;
    // beyond, the image is split into that many cells and each shows the
    // middle tile of its block, so that no overview reads more than
    // kExactSpan^2 files however large the task.
    static constexpr int kExactSpan = 16;
    std::vector<OverviewCell> CellsOf(const PyramidKey& k) const;

    // The tiles of the task that a failed list names, ordered by column
    // then row; names that are not this task's tiles are left out.
    static std::vector<std::pair<int, int>> FailedTiles(const task::SavedProject& project);

private:
    int xmin_, xmax_, ymin_, ymax_, zoom_, tileW_, tileH_;
};

} // namespace kartivo::view
