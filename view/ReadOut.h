#pragma once
// The texts the viewer shows and copies: a coordinate in degrees, minutes
// and seconds, what lies under the cursor (coordinates, tile, file, state),
// and a selected rectangle as the four numbers the main window asks for.
#include <string>

#include "platform/Formats.h"

#include "task/SavedProject.h"
#include "view/MapGrid.h"

namespace kartivo::view {

// 48.8566 -> 48°51'23.76" N; -2.5 (longitude) -> 2°30'00.00" W. Seconds to
// two decimals, carried into minutes and degrees when they round to 60.
std::string FormatDms(double degrees, bool isLatitude);
// A decimal degree in the "C" locale with `decimals` places (no grouping).
std::string FormatDecimal(double degrees, int decimals);

// Why a saved tile file is drawn as missing: what the viewer found when it
// looked at the file.
enum class TileFault {
    None,      // a picture of this task's tile size
    NotImage,  // no image format the viewer knows
    Damaged,   // an image header, but the picture is cut short or corrupt
    WrongSize, // a whole image, but not of this task's tile size
    TooLarge   // a file larger than any real tile: not read at all
};

// 1234567 -> "1,234,567": counts in the viewer's texts, as Kartivo writes them.
using platform::GroupThousands;
// The line the status bar shows for a project just opened: its tile count,
// columns, rows and zoom. Columns and rows stay ungrouped, as in file names.
std::string TaskSummary(const task::KvTask& task);

// How the read-out names a tile's state; a file the viewer could not show
// is "saved" on disk, followed by what is wrong with it. A tile that has a
// file and is also named in the failed list (a blank substitute for a
// refused tile, or one fetched again later) says both.
std::string StateText(task::TileState state, TileFault fault, bool listedAsFailed = false);
inline std::string StateText(task::TileState state, bool unreadable, bool listedAsFailed = false)
{
    return StateText(state, unreadable ? TileFault::NotImage : TileFault::None, listedAsFailed);
}

struct ReadOut {
    LonLat Position;
    bool OnTile = false; // the point lies on one of the task's tiles
    int X = 0, Y = 0;
    std::string FileName;
};
ReadOut ReadOutAt(const MapGrid& grid, const task::KvTask& task, MapPoint p);
// One line for the status bar; `state` is empty when the tile's state is not wanted.
std::string ReadOutLine(const ReadOut& r, const std::string& state);

// The selection between two map points, as the text "Copy coordinates" puts
// on the clipboard: left and right longitude, top and bottom latitude, one a
// line, in the order and with the labels of the main window's fields.
struct AreaDegrees {
    double Left = 0, Right = 0, Top = 0, Bottom = 0;
};
AreaDegrees SelectionArea(const MapGrid& grid, MapPoint a, MapPoint b);
std::string SelectionText(const AreaDegrees& area);
// The selection's size while it is dragged: the task tiles it touches and
// its width (at its middle latitude) and height on the ground, as
// "Selection 3 x 2 tiles, 1.25 km x 830 m".
std::string SelectionSizeText(const MapGrid& grid, MapPoint a, MapPoint b);

// The point the cursor is on as "Copy position" puts it on the clipboard:
// longitude,latitude in decimal degrees, as --center and Go to take it.
std::string PositionText(LonLat p);

// What Go to accepts: "LON,LAT" or "LON LAT" in decimal degrees, or a
// tile's "COLUMN/ROW" (its middle). False with a sentence in `error` for
// anything else, or a tile that is not the task's.
bool ParseGoTo(const std::string& text, const MapGrid& grid, MapPoint& target, std::string& error);

} // namespace kartivo::view
