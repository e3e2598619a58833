#pragma once
// Where a task's combined image lies on Earth: its size in pixels and its
// edges in Web Mercator metres (EPSG:3857), taken from the tile range's
// own edges, and the texts of a world file and its projection file.
#include <cstdint>
#include <string>

namespace kartivo::task {
class KvTask;
}

namespace kartivo::join {

inline constexpr double kEarthRadius = 6378137.0; // the sphere of EPSG:3857

// The edge between columns x - 1 and x, and between rows y - 1 and y (rows
// counted from the south), at a zoom level, in metres. Exact tile edges:
// the grid spans -pi R .. pi R in both directions.
double MercatorXOfColumnEdge(std::int64_t x, int zoom);
double MercatorYOfRowEdge(std::int64_t y, int zoom);
// A point given in degrees, in metres.
double MercatorXOfLongitude(double lon);
double MercatorYOfLatitude(double lat);

struct MapRaster {
    int Columns = 0, Rows = 0; // tiles
    int TileWidth = 256, TileHeight = 256;
    std::int64_t Width = 0, Height = 0; // pixels
    // Outer edges of the image in metres.
    double Left = 0, Top = 0, Right = 0, Bottom = 0;
    // Size of one pixel in metres (not square for tiles that are not square).
    double PixelWidth = 0, PixelHeight = 0;
    // Where the image's top left pixel lies in the mosaic of the task's
    // tiles: 0, 0 unless the image is clipped to the typed area.
    std::int64_t OffsetX = 0, OffsetY = 0;
};
MapRaster RasterOfTask(const task::KvTask& task);
// The part of the tiles' mosaic that covers the area the user typed: every
// pixel that the area touches, at least one.
MapRaster ClippedRasterOfTask(const task::KvTask& task);

// The six lines of a world file (.pgw, .jgw): pixel size, no rotation, and
// the centre of the top left pixel, in metres, CR LF after each line.
std::string WorldFileText(const MapRaster& raster);
// EPSG:3857 as the ESRI well-known text that .prj files hold.
extern const char* const kWebMercatorPrj;

} // namespace kartivo::join
