#include "view/MapScale.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "view/ReadOut.h"

namespace kartivo::view {

namespace {
constexpr double kEarthRadius = 6378137.0; // the sphere of Web Mercator
constexpr double kPi = 3.141592653589793;
} // namespace

double MetresPerScreenPixel(const MapGrid& grid, const Viewport& view)
{
    const double lat = grid.MapToLonLat(view.Center()).Lat;
    const double metresPerMapPixel = 2 * kPi * kEarthRadius * std::cos(lat * kPi / 180) /
                                     (std::ldexp(1.0, grid.Zoom()) * grid.TileWidth());
    return metresPerMapPixel / view.Scale();
}

std::string LengthText(double metres)
{
    const bool km = metres >= 1000;
    const double v = km ? metres / 1000 : metres;
    char buffer[64];
    if (v >= 100) {
        return GroupThousands(std::llround(v)) + (km ? " km" : " m");
    }
    std::snprintf(buffer, sizeof buffer, "%.3g", v);
    return std::string(buffer) + (km ? " km" : " m");
}

ScaleBar ChooseScaleBar(double metresPerPixel, double maxPixels)
{
    ScaleBar bar;
    if (!(metresPerPixel > 0) || !(maxPixels > 0))
        return bar;
    const double most = metresPerPixel * maxPixels;
    // The largest 1, 2 or 5 x 10^n not beyond `most`, from a centimetre up.
    double best = 0;
    for (double power = std::pow(10.0, std::floor(std::log10(most)) - 1); power <= most; power *= 10)
        for (double step : {1.0, 2.0, 5.0})
            if (step * power <= most * (1 + 1e-12) && step * power >= 0.01)
                best = std::max(best, step * power);
    if (best == 0)
        return bar;
    bar.Metres = best;
    bar.Pixels = best / metresPerPixel;
    bar.Label = LengthText(best);
    return bar;
}

double GraticuleStep(double span)
{
    double best = 1e-6;
    for (double step : {90.0, 45.0, 30.0, 15.0})
        if (span / step >= 3)
            return step;
    for (double power = 10; power >= 1e-6; power /= 10)
        for (double m : {5.0, 2.0, 1.0})
            if (span / (m * power) >= 3)
                return m * power;
    return best;
}

} // namespace kartivo::view
