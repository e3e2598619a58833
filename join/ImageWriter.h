#pragma once
// The single-image writers: the task's tiles as one PNG (RGBA, holes
// transparent) or one JPEG (RGB, holes black), written one row of tiles at a
// time. Both formats have a size limit; LimitOfSingleImage tells it so that
// the caller can refuse before anything is written.
#include <cstdint>
#include <string>

#include "join/Output.h"

#include "join/MapGeometry.h"

namespace kartivo::task {
class KvTask;
}

namespace kartivo::join {

class TileSource;

enum class ImageKind { Png, Jpeg };

// The largest width and height the writer accepts for this kind: JPEG's own
// limit, and for PNG the one that keeps a row of tiles well within memory
// and that common viewers still open.
std::int64_t LimitOfSingleImage(ImageKind kind);

// Writes into `path` (a file the caller made and removes on failure).
// Throws JoinError on a write that fails, JoinCancelled on cancel.
// `raster` is the task's (RasterOfTask) or a part of it (ClippedRasterOfTask).
void WriteSingleImage(const std::string& path, ImageKind kind, int quality, const task::KvTask& task,
                      const MapRaster& raster, TileSource& tiles, JoinControl& control);

} // namespace kartivo::join
