#pragma once
// The side files that place an exported view on Earth, as the combiner's
// plain images have them: a world file (pixel size and the centre of the
// top left pixel in Web Mercator metres), a .prj for the programs that read
// one, and the .aux.xml that GDAL and QGIS take the projection from.
#include <string>
#include <utility>
#include <vector>

#include "view/MapGrid.h"
#include "view/Viewport.h"

namespace kartivo::view {

// Path and text of each side file of the PNG `imagePath` showing `view`.
std::vector<std::pair<std::string, std::string>> GeoSideFiles(const std::string& imagePath,
                                                              const MapGrid& grid, const Viewport& view);

} // namespace kartivo::view
