#pragma once
// The GeoTIFF writer: the task's tiles as one tiled image (256 x 256 blocks:
// RGBA in DEFLATE, ZSTD or WebP, or YCbCr in JPEG with a 1-bit mask),
// georeferenced in EPSG:3857 by the tile range's edges, with internal
// overviews halving down to one block, in the cloud optimized layout.
//
// Memory stays a few blocks per pyramid level whatever the image size:
// full-resolution blocks are made in quadtree order, and each finished block
// is halved into its parent at once. Each level (and its mask) goes to a
// temporary TIFF first; the output is then put together from them block by
// block, still compressed: all directories first, then the levels from the
// smallest to the full resolution. With more than one thread, decoding and
// compressing run beside this work; blocks are still written in one order.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "join/MapGeometry.h"
#include "join/Output.h"

struct tiff;
typedef struct tiff TIFF; // as libtiff's header names it

namespace kartivo::task {
class KvTask;
}

namespace kartivo::join {

class TileSource;

inline constexpr int kBlockSize = 256;

// How RGBA blocks are compressed (JPEG blocks are YCbCr with a mask instead).
enum class RgbaCodec { Deflate, Zstd, Webp };

struct GeoTiffSettings {
    bool Jpeg = false; // YCbCr JPEG blocks and a 1-bit mask instead of RGBA blocks
    RgbaCodec Codec = RgbaCodec::Deflate;
    int Quality = 85; // JPEG and WebP quality, 1..100
    bool BigTiff = false;
    // 2 or more: tiles are read and decoded on a thread of their own, and
    // the blocks compressed on this many workers, while this thread halves
    // them and writes them in order; the file is the same byte for byte.
    int Threads = 1;
};

// Width and height of each level: the full image first, then halves
// (rounded up) until a level fits in one block.
std::vector<std::pair<std::int64_t, std::int64_t>> PyramidLevels(std::int64_t width, std::int64_t height);

// Bytes of the uncompressed pixels of every level, the measure of whether
// the file could pass the 4 GB a classic TIFF can address.
std::uint64_t UncompressedPyramidBytes(std::int64_t width, std::int64_t height);

// Copies every block of the tiled TIFF `fromPath`, still compressed, into
// the current directory of `to` (written as `toPath`); each lands at the end
// of the file. A large level takes a while: `control` is polled before each
// block, and a cancel throws JoinCancelled.
void CopyBlocks(TIFF* to, const std::string& toPath, const std::string& fromPath, const JoinControl& control);

// Writes into `path` (a file the caller made and removes on failure).
// Temporary files for the overview levels are made in `folder` through
// `temps`. Throws JoinError on a write that fails, JoinCancelled on cancel.
// `raster` is the task's (RasterOfTask) or a part of it (ClippedRasterOfTask).
void WriteGeoTiff(const std::string& path, const std::string& folder, const task::KvTask& task,
                  const MapRaster& raster, TileSource& tiles, const GeoTiffSettings& settings,
                  JoinControl& control, TempFiles& temps);

} // namespace kartivo::join
