#pragma once
// A synthetic task for the combiner's tests: record files written as Start
// writes them, tiles of known colours (each tile one colour, with a marker
// square in its top left corner) encoded as the map type's tiles are, and
// helpers that damage tiles and ask GDAL's own tools about the output.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/Commonfunc.h"
#include "join/Combiner.h"
#include "join/TileImage.h"
#include "platform/Dialogs.h"
#include "platform/Formats.h"
#include "task/SavedProject.h"
#include "task/Unitclasstask.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"

namespace kartivo::testing {

// The colour of tile (x, y): distinct for neighbours, far from black.
inline std::array<int, 3> TileColour(int x, int y)
{
    return {40 + (x * 53) % 200, 40 + (y * 97) % 200, 60 + ((x + y) * 31) % 180};
}

// Runs a command and returns its standard output; the exit status in `status`.
std::string RunCommand(const std::string& command, int* status = nullptr);

// Quotes a path for the shell.
std::string Quoted(const std::string& path);

// The numbers of a JSON array after "key": in gdalinfo -json's output.
std::vector<double> JsonNumbers(const std::string& json, const std::string& key);

// Band values of one pixel (column, line) by gdallocationinfo -valonly.
std::vector<int> PixelValues(const std::string& file, long column, long line, const std::string& extra = "");

// Expects gdalinfo -json's size and geotransform to be those of an image of
// columns x0..x1 and rows y0..y1 (from the south) at `zoom`, width x height
// pixels, no rotation, every corner to the millimetre in EPSG:3857.
void ExpectPlacedOnTiles(const std::string& json, int x0, int x1, int y0, int y1, int zoom, int width,
                         int height);

class JoinTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A task whose tiles are exactly columns x0..x1, rows y0..y1; every
    // tile is written with its colour unless told otherwise later.
    void MakeTask(int mapsType, int x0, int x1, int y0, int y1, int zoom, bool writeTiles = true);
    void WriteTile(int x, int y);
    std::string TilePath(int x, int y) const { return task->GetTileFilePath(x, y); }
    void RemoveTile(int x, int y);
    void TruncateTile(int x, int y);
    void ReplaceTile(int x, int y, const std::string& bytes);
    void MakeBlank(int x, int y);
    void AddToFailedList(int x, int y);

    // Opens the project as the combiner does and combines it.
    join::JoinOutcome Combine(join::JoinOptions options, std::string* error = nullptr);
    std::unique_ptr<task::SavedProject> OpenProject();

    // Names in the save folder (not in the tile folder), sorted.
    std::vector<std::string> SaveFolderNames() const;

    TempFolder dir;
    platform::RecordingDialogs dialogs;
    task::TaskParameters params;
    std::unique_ptr<task::KvTask> task;
    join::JoinSummary summary;
    join::JoinControl control;
};

} // namespace kartivo::testing
