#include "view/GeoExport.h"

#include <cmath>

#include "join/MapGeometry.h"
#include "platform/Files.h"

namespace kartivo::view {

std::vector<std::pair<std::string, std::string>> GeoSideFiles(const std::string& imagePath,
                                                              const MapGrid& grid, const Viewport& view)
{
    // Map pixels to metres: a column edge ex (counted from the grid's west
    // edge) and a row edge ey (counted from the south) lie at
    // (2 e / 2^zoom - 1) pi R.
    const double world = std::ldexp(1.0, grid.Zoom());
    const double halfWorld = 3.141592653589793 * join::kEarthRadius;
    const MapPoint nw = view.ScreenToMap({0, 0});
    join::MapRaster raster;
    raster.Width = view.Width();
    raster.Height = view.Height();
    raster.PixelWidth = 2 * halfWorld / world / grid.TileWidth() / view.Scale();
    raster.PixelHeight = 2 * halfWorld / world / grid.TileHeight() / view.Scale();
    raster.Left = (2 * (grid.Xmin() + nw.X / grid.TileWidth()) / world - 1) * halfWorld;
    raster.Top = (2 * (grid.Ymax() + 1 - nw.Y / grid.TileHeight()) / world - 1) * halfWorld;
    raster.Right = raster.Left + raster.PixelWidth * view.Width();
    raster.Bottom = raster.Top - raster.PixelHeight * view.Height();

    std::string base = imagePath;
    const std::string name = platform::ExtractFileName(imagePath);
    if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0)
        base.resize(imagePath.size() - (name.size() - dot));
    return {{base + ".pgw", join::WorldFileText(raster)},
            {base + ".prj", join::kWebMercatorPrj},
            {imagePath + ".aux.xml", "<PAMDataset>\n  <SRS>EPSG:3857</SRS>\n</PAMDataset>\n"}};
}

} // namespace kartivo::view
