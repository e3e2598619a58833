#pragma once
// The MBTiles writer: the task's tiles stored as they are (no decoding) in an
// SQLite file with the tables and metadata of MBTiles 1.3. Kartivo counts
// rows from the south, as MBTiles does, so rows go in unchanged. Missing and
// unusable tiles get no row, which readers show as no data.
//
// Below the task's zoom, down to `minZoom`, each level is the true
// downsample of the one above it (2 x 2 pixels averaged, weighted by alpha),
// so that map apps have a tile at every scale. Such a tile is stored in the
// tiles' format when it is opaque, and as PNG where it has transparency.
#include <string>

#include "join/Output.h"

namespace kartivo::task {
class SavedProject;
}

namespace kartivo::join {

class TileSource;

// Writes into `path` (an empty file the caller made and removes on failure).
// Throws JoinError on an SQLite failure, JoinCancelled on cancel.
void WriteMbtiles(const std::string& path, const task::SavedProject& project, TileSource& tiles,
                  JoinControl& control, int minZoom, int jpegQuality);

} // namespace kartivo::join
