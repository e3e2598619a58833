#include "join/MapGeometry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <locale>
#include <sstream>

#include "task/Unitclasstask.h"

namespace kartivo::join {

namespace {

// Half the grid's extent, pi R, evaluated once in extended precision.
const long double kHalfWorld = 3.141592653589793238462643383279502884L * kEarthRadius;

std::string Fixed(double value)
{
    // The classic locale: a world file always uses a period.
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(10);
    out << std::fixed << value;
    return out.str();
}

} // namespace

double MercatorXOfColumnEdge(std::int64_t x, int zoom)
{
    const long double n = static_cast<long double>(std::int64_t{1} << zoom);
    return static_cast<double>((2.0L * x / n - 1.0L) * kHalfWorld);
}

double MercatorYOfRowEdge(std::int64_t y, int zoom)
{
    const long double n = static_cast<long double>(std::int64_t{1} << zoom);
    return static_cast<double>((2.0L * y / n - 1.0L) * kHalfWorld);
}

double MercatorXOfLongitude(double lon)
{
    return static_cast<double>(static_cast<long double>(lon) * kHalfWorld / 180.0L);
}

double MercatorYOfLatitude(double lat)
{
    const long double pi = 3.141592653589793238462643383279502884L;
    return static_cast<double>(kEarthRadius * std::log(std::tan(pi / 4 + lat * pi / 360)));
}

MapRaster RasterOfTask(const task::KvTask& task)
{
    const int zoom = task.Params.Zoom;
    MapRaster r;
    r.Columns = task.Xmax - task.Xmin + 1;
    r.Rows = task.Ymax - task.Ymin + 1;
    r.TileWidth = task.TileWidth;
    r.TileHeight = task.TileHeight;
    r.Width = std::int64_t{r.Columns} * r.TileWidth;
    r.Height = std::int64_t{r.Rows} * r.TileHeight;
    r.Left = MercatorXOfColumnEdge(task.Xmin, zoom);
    r.Right = MercatorXOfColumnEdge(std::int64_t{task.Xmax} + 1, zoom);
    r.Top = MercatorYOfRowEdge(std::int64_t{task.Ymax} + 1, zoom);
    r.Bottom = MercatorYOfRowEdge(task.Ymin, zoom);
    // One tile's extent divided by its pixels: the same for every tile.
    const long double tileMetres = 2.0L * kHalfWorld / static_cast<long double>(std::int64_t{1} << zoom);
    r.PixelWidth = static_cast<double>(tileMetres / r.TileWidth);
    r.PixelHeight = static_cast<double>(tileMetres / r.TileHeight);
    return r;
}

MapRaster ClippedRasterOfTask(const task::KvTask& task)
{
    MapRaster r = RasterOfTask(task);
    const task::TaskParameters& p = task.Params;
    // Pixel edges of the typed area in the mosaic; a hair of tolerance keeps
    // an edge that falls on a pixel edge from taking one pixel more.
    auto column = [&](double lon) { return (MercatorXOfLongitude(lon) - r.Left) / r.PixelWidth; };
    auto line = [&](double lat) { return (r.Top - MercatorYOfLatitude(lat)) / r.PixelHeight; };
    auto clamp = [](double v, std::int64_t hi) {
        return std::max<std::int64_t>(0, std::min<std::int64_t>(hi, static_cast<std::int64_t>(v)));
    };
    const double west = std::min(p.LeftLongitude, p.RightLongitude),
                 east = std::max(p.LeftLongitude, p.RightLongitude);
    const double north = std::max(p.TopLatitude, p.BottomLatitude),
                 south = std::min(p.TopLatitude, p.BottomLatitude);
    const std::int64_t x0 = clamp(std::floor(column(west) + 1e-6), r.Width - 1);
    const std::int64_t x1 = std::max(x0 + 1, clamp(std::ceil(column(east) - 1e-6), r.Width));
    const std::int64_t y0 = clamp(std::floor(line(north) + 1e-6), r.Height - 1);
    const std::int64_t y1 = std::max(y0 + 1, clamp(std::ceil(line(south) - 1e-6), r.Height));
    r.OffsetX = x0;
    r.OffsetY = y0;
    r.Width = x1 - x0;
    r.Height = y1 - y0;
    r.Left += static_cast<double>(x0) * r.PixelWidth;
    r.Right = r.Left + static_cast<double>(r.Width) * r.PixelWidth;
    r.Top -= static_cast<double>(y0) * r.PixelHeight;
    r.Bottom = r.Top - static_cast<double>(r.Height) * r.PixelHeight;
    return r;
}

std::string WorldFileText(const MapRaster& r)
{
    std::string text;
    for (double v :
         {r.PixelWidth, 0.0, 0.0, -r.PixelHeight, r.Left + r.PixelWidth / 2, r.Top - r.PixelHeight / 2})
        text += Fixed(v) + "\r\n";
    return text;
}

const char* const kWebMercatorPrj =
    "PROJCS[\"WGS_1984_Web_Mercator_Auxiliary_Sphere\",GEOGCS[\"GCS_WGS_1984\","
    "DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],"
    "PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]],"
    "PROJECTION[\"Mercator_Auxiliary_Sphere\"],PARAMETER[\"False_Easting\",0.0],"
    "PARAMETER[\"False_Northing\",0.0],PARAMETER[\"Central_Meridian\",0.0],"
    "PARAMETER[\"Standard_Parallel_1\",0.0],PARAMETER[\"Auxiliary_Sphere_Type\",0.0],"
    "UNIT[\"Meter\",1.0]]";

} // namespace kartivo::join
