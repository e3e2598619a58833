#include "ui/TaskSize.h"

#include <cmath>
#include <cstdio>

#include "platform/Formats.h"

namespace kartivo::ui {

namespace {

std::string OneDecimal(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string Rate(double tilesPerSecond)
{
    if (tilesPerSecond == std::floor(tilesPerSecond))
        return platform::GroupThousands(static_cast<std::int64_t>(tilesPerSecond));
    return OneDecimal(tilesPerSecond);
}

} // namespace

std::string FormatBytes(std::uint64_t bytes)
{
    if (bytes < 1000)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    static const char* const units[] = {"kB", "MB", "GB", "TB", "PB"};
    double value = static_cast<double>(bytes) / 1000.0;
    std::size_t unit = 0;
    // Moves on while the rounded figure would read 1000.0 or more.
    while (value >= 999.95 && unit + 1 < std::size(units)) {
        value /= 1000.0;
        ++unit;
    }
    return OneDecimal(value) + " " + units[unit];
}

std::string HugeTaskQuestion(const TaskSize& size)
{
    std::string text = "This task has " + platform::GroupThousands(size.Tiles) +
                       " tiles. Its tile list needs about " + FormatBytes(size.ListBytes);
    if (size.FreeBytes)
        text += " (" + FormatBytes(*size.FreeBytes) + " free)";
    text += " and downloading takes " +
            platform::AboutText(static_cast<double>(size.Tiles) / size.TilesPerSecond) + " at " +
            Rate(size.TilesPerSecond) + " tiles a second. Start it?";
    return text;
}

std::string NoRoomForTileList(const TaskSize& size, const std::string& saveFolder)
{
    return "This task's tile list needs about " + FormatBytes(size.ListBytes) + ", but the disk of " +
           saveFolder + " has only " + FormatBytes(size.FreeBytes.value_or(0)) +
           " free. Choose a smaller area, a lower zoom level or another folder.";
}

bool TileListFits(const TaskSize& size) { return !size.FreeBytes || size.ListBytes <= *size.FreeBytes; }

} // namespace kartivo::ui
