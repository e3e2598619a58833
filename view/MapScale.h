#pragma once
// What one screen pixel measures on the ground, and the scale bar that
// shows it: a round length (1, 2 or 5 times a power of ten metres) and the
// pixels it spans at the view's centre. Web Mercator stretches the map by
// 1/cos(latitude), so the length holds at the centre's latitude only.
#include <string>

#include "view/MapGrid.h"
#include "view/Viewport.h"

namespace kartivo::view {

// Metres on the ground, east-west, that one screen pixel spans at the
// latitude of the view's centre.
double MetresPerScreenPixel(const MapGrid& grid, const Viewport& view);

struct ScaleBar {
    double Pixels = 0; // length on screen
    double Metres = 0; // the round length it stands for
    std::string Label; // "500 m", "2 km", "0.5 m"
};
// The longest round length that fits `maxPixels`; a bar of zero pixels
// when not even a centimetre fits.
ScaleBar ChooseScaleBar(double metresPerPixel, double maxPixels);

// A length as the scale bar and the status bar write it: metres below a
// kilometre, kilometres above, at most three significant digits, thousands
// grouped ("12.5 m", "1,250 km").
std::string LengthText(double metres);

// The spacing of graticule lines, in degrees, for a view spanning `span`
// degrees: the largest of 1, 2, 5 x 10^n (and 15, 30, 45, 90) that draws
// at least three lines across.
double GraticuleStep(double span);

} // namespace kartivo::view
