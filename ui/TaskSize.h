#pragma once
// What Start tells the user about the size of a task before it makes it:
// the question asked for a huge task (tiles, tile list, free space, time at
// the workers' pace) and the refusal when the tile list cannot fit the disk.
// Also the byte sizes the main window shows.
#include <cstdint>
#include <optional>
#include <string>

namespace kartivo::ui {

// Above this many tiles Start asks before it starts.
inline constexpr std::int64_t kHugeTaskTiles = 1'000'000;

// "512 bytes", "1.5 kB", "7.1 GB": powers of 1000, one decimal.
std::string FormatBytes(std::uint64_t bytes);

// What Start needs to know about a task's size.
struct TaskSize {
    std::int64_t Tiles = 0;
    std::uint64_t ListBytes = 0;
    std::optional<std::uint64_t> FreeBytes; // on the save folder's disk
    double TilesPerSecond = 0;              // the workers' pacing bound
};

// "This task has 66,895,872 tiles. Its tile list needs about 7.1 GB (40.2 GB
// free) and downloading takes about 48 days at 16 tiles a second. Start it?"
std::string HugeTaskQuestion(const TaskSize& size);
// The tile list does not fit the free space of the save folder's disk.
std::string NoRoomForTileList(const TaskSize& size, const std::string& saveFolder);
// Whether the list fits; a free space that cannot be told does not refuse.
bool TileListFits(const TaskSize& size);

} // namespace kartivo::ui
