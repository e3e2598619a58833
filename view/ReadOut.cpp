#include "view/ReadOut.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "task/Unitclasstask.h"
#include "view/MapScale.h"

namespace kartivo::view {

std::string FormatDecimal(double degrees, int decimals)
{
    char buffer[64];
    if (degrees == 0)
        degrees = 0; // never "-0.0000000"
    auto res = std::to_chars(buffer, buffer + sizeof buffer, degrees, std::chars_format::fixed, decimals);
    std::string text(buffer, res.ptr);
    // A value that rounds to zero at this precision prints without its sign.
    if (text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos)
        text.erase(0, 1);
    return text;
}

std::string TaskSummary(const task::KvTask& task)
{
    return GroupThousands(task.TileCount) + (task.TileCount == 1 ? " tile" : " tiles") + ", columns " +
           std::to_string(task.Xmin) + " to " + std::to_string(task.Xmax) + ", rows " +
           std::to_string(task.Ymin) + " to " + std::to_string(task.Ymax) + ", zoom " +
           std::to_string(task.Params.Zoom);
}

std::string FormatDms(double degrees, bool isLatitude)
{
    const char hemisphere = isLatitude ? (degrees < 0 ? 'S' : 'N') : (degrees < 0 ? 'W' : 'E');
    // Whole hundredths of a second, so that rounding carries upwards cleanly.
    long long hundredths = std::llround(std::fabs(degrees) * 360000.0);
    const long long wholeDegrees = hundredths / 360000;
    hundredths %= 360000;
    const long long minutes = hundredths / 6000;
    hundredths %= 6000;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%lld\u00b0%02lld'%02lld.%02lld\" %c", wholeDegrees, minutes,
                  hundredths / 100, hundredths % 100,
                  wholeDegrees == 0 && minutes == 0 && hundredths == 0 ? (isLatitude ? 'N' : 'E')
                                                                       : hemisphere);
    return buffer;
}

namespace {

const char* FaultText(TileFault fault)
{
    switch (fault) {
    case TileFault::None: return "saved";
    case TileFault::NotImage: return "saved, but not a readable image";
    case TileFault::Damaged: return "saved, but the image is cut short or damaged";
    case TileFault::WrongSize: return "saved, but not a tile of this task";
    case TileFault::TooLarge: return "saved, but too large to be a tile (over 4 MB)";
    }
    return "saved";
}

} // namespace

std::string StateText(task::TileState state, TileFault fault, bool listedAsFailed)
{
    const std::string alsoListed = listedAsFailed ? ", in the failed list" : "";
    switch (state) {
    case task::TileState::Saved: return FaultText(fault) + alsoListed;
    case task::TileState::Blank: return "blank substitute" + alsoListed;
    case task::TileState::Missing: return "missing";
    case task::TileState::Failed: return "in the failed list";
    }
    return "missing";
}

ReadOut ReadOutAt(const MapGrid& grid, const task::KvTask& task, MapPoint p)
{
    ReadOut r;
    r.Position = grid.MapToLonLat(p);
    r.OnTile = grid.TileAt(p, r.X, r.Y);
    if (r.OnTile)
        r.FileName = task.GetTileFileName(r.X, r.Y);
    return r;
}

std::string ReadOutLine(const ReadOut& r, const std::string& state)
{
    std::string line = "Lon " + FormatDecimal(r.Position.Lon, 7) + " (" + FormatDms(r.Position.Lon, false) +
                       ")   Lat " + FormatDecimal(r.Position.Lat, 7) + " (" +
                       FormatDms(r.Position.Lat, true) + ")";
    if (r.OnTile) {
        line += "   Column " + std::to_string(r.X) + ", row " + std::to_string(r.Y) + "   " + r.FileName;
        if (!state.empty())
            line += "   " + state;
    }
    return line;
}

AreaDegrees SelectionArea(const MapGrid& grid, MapPoint a, MapPoint b)
{
    const LonLat nw = grid.MapToLonLat({std::min(a.X, b.X), std::min(a.Y, b.Y)});
    const LonLat se = grid.MapToLonLat({std::max(a.X, b.X), std::max(a.Y, b.Y)});
    // Held within what the main window accepts, so the copy can be typed in as it is.
    auto lon = [](double v) { return std::clamp(v, -180.0, 180.0); };
    auto lat = [](double v) { return std::clamp(v, -85.0, 85.0); };
    return {lon(nw.Lon), lon(se.Lon), lat(nw.Lat), lat(se.Lat)};
}

std::string SelectionText(const AreaDegrees& area)
{
    return "Left Longitude: " + FormatDecimal(area.Left, 7) + "\n" +
           "Right Longitude: " + FormatDecimal(area.Right, 7) + "\n" +
           "Top Latitude: " + FormatDecimal(area.Top, 7) + "\n" +
           "Bottom Latitude: " + FormatDecimal(area.Bottom, 7) + "\n";
}

std::string SelectionSizeText(const MapGrid& grid, MapPoint a, MapPoint b)
{
    const MapRect r{std::min(a.X, b.X), std::min(a.Y, b.Y), std::max(a.X, b.X), std::max(a.Y, b.Y)};
    // Tiles touched, within the grid.
    auto span = [](double lo, double hi, double size, int count) {
        const double first = std::clamp(std::floor(lo / size), 0.0, double(count));
        const double last = std::clamp(std::ceil(hi / size), 0.0, double(count));
        return static_cast<long long>(std::max(0.0, last - first));
    };
    const long long cols = span(r.Left, r.Right, grid.TileWidth(), grid.Columns());
    const long long rows = span(r.Top, r.Bottom, grid.TileHeight(), grid.Rows());
    constexpr double kR = 6378137.0, kPi = 3.141592653589793;
    const LonLat nw = grid.MapToLonLat({r.Left, r.Top}), se = grid.MapToLonLat({r.Right, r.Bottom});
    const double midLat = (nw.Lat + se.Lat) / 2 * kPi / 180;
    const double width = std::fabs(se.Lon - nw.Lon) * kPi / 180 * kR * std::cos(midLat);
    const double height = std::fabs(nw.Lat - se.Lat) * kPi / 180 * kR;
    return "Selection " + GroupThousands(cols) + " x " + GroupThousands(rows) + " tiles, " +
           LengthText(width) + " x " + LengthText(height);
}

std::string PositionText(LonLat p) { return FormatDecimal(p.Lon, 7) + "," + FormatDecimal(p.Lat, 7); }

bool ParseGoTo(const std::string& text, const MapGrid& grid, MapPoint& target, std::string& error)
{
    std::string t = text;
    for (char& c : t)
        if (c == '\t')
            c = ' ';
    const auto trim = [](std::string s) {
        const auto a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
        return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
    };
    t = trim(t);
    auto number = [](const std::string& s, double& v) {
        const char* end = s.data() + s.size();
        auto res = std::from_chars(s.data(), end, v);
        return !s.empty() && res.ec == std::errc() && res.ptr == end && std::isfinite(v);
    };
    if (const auto slash = t.find('/'); slash != std::string::npos) {
        double col = 0, row = 0;
        if (!number(trim(t.substr(0, slash)), col) || !number(trim(t.substr(slash + 1)), row) ||
            col != std::floor(col) || row != std::floor(row)) {
            error = "\"" + text + "\" is not a tile's COLUMN/ROW.";
            return false;
        }
        if (col < grid.Xmin() || col > grid.Xmax() || row < grid.Ymin() || row > grid.Ymax()) {
            error = "Tile " + t + " is not one of this task's (columns " + std::to_string(grid.Xmin()) +
                    " to " + std::to_string(grid.Xmax()) + ", rows " + std::to_string(grid.Ymin()) + " to " +
                    std::to_string(grid.Ymax()) + ").";
            return false;
        }
        const MapRect r = grid.TileRect(static_cast<int>(col), static_cast<int>(row));
        target = {(r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2};
        return true;
    }
    auto sep = t.find(',');
    if (sep == std::string::npos)
        sep = t.find(' ');
    double lon = 0, lat = 0;
    if (sep == std::string::npos || !number(trim(t.substr(0, sep)), lon) ||
        !number(trim(t.substr(sep + 1)), lat) || lon < -180 || lon > 180 || lat < -90 || lat > 90) {
        error = "\"" + text + "\" is neither LONGITUDE,LATITUDE in decimal degrees nor a tile's COLUMN/ROW.";
        return false;
    }
    target = grid.LonLatToMap(lon, lat);
    return true;
}

} // namespace kartivo::view
