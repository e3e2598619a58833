#include "join/MapGeometry.h"

#include <cmath>
#include <cstdio>
#include <locale>
#include <sstream>

#include "task/Unitclasstask.h"

namespace kartivo::join {

namespace {

// Half the grid's extent, pi R, evaluated once in extended precision.
const long double kHalfWorld = 3.141592653589793238462643383279502884L * kEarthRadius;

std::string Fixed(double value) {
    // The classic locale: a world file always uses a period.
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(10);
    out << std::fixed << value;
    return out.str();
}

} // namespace

double MercatorXOfColumnEdge(std::int64_t x, int zoom) {
    const long double n = static_cast<long double>(std::int64_t{1} << zoom);
    return static_cast<double>((2.0L * x / n - 1.0L) * kHalfWorld);
}

double MercatorYOfRowEdge(std::int64_t y, int zoom) {
    const long double n = static_cast<long double>(std::int64_t{1} << zoom);
    return static_cast<double>((2.0L * y / n - 1.0L) * kHalfWorld);
}

double MercatorXOfLongitude(double lon) {
    return static_cast<double>(static_cast<long double>(lon) * kHalfWorld / 180.0L);
}

double MercatorYOfLatitude(double lat) {
    const long double pi = 3.141592653589793238462643383279502884L;
    return static_cast<double>(kEarthRadius * std::log(std::tan(pi / 4 + lat * pi / 360)));
}

MapRaster RasterOfTask(const task::KvTask& task) {
    const int zoom = task.Params->Zoom;
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

std::string WorldFileText(const MapRaster& r) {
    std::string text;
    for (double v : {r.PixelWidth, 0.0, 0.0, -r.PixelHeight, r.Left + r.PixelWidth / 2,
                     r.Top - r.PixelHeight / 2})
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
