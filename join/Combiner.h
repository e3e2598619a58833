#pragma once
// The map combiner: turns a saved task's tiles into one map that GIS programs
// place on Earth (GeoTIFF, MBTiles, or PNG/JPEG with a world file), with a
// report of the tiles left out, and nothing half-written on failure or cancel.
//
// The window and the command line are thin layers over Combine.
#include <cstdint>
#include <string>
#include <vector>

#include "join/MapGeometry.h"
#include "join/Output.h"
#include "join/TileSource.h"
#include "platform/Formats.h"

namespace kartivo::task {
class KvTask;
class SavedProject;
} // namespace kartivo::task

namespace kartivo::join {

enum class OutputFormat { GeoTiff, MBTiles, Png, Jpeg };
// Compression of a GeoTIFF's blocks. Default: DEFLATE for PNG tiles, JPEG
// for JPEG tiles (they were lossy already; DEFLATE would make the file about ten times
// bigger). DEFLATE and ZSTD are lossless (with a horizontal predictor), WebP
// is lossy at the JPEG quality and keeps the alpha band.
enum class Compression { Default, Deflate, Jpeg, Zstd, Webp };

// "deflate", "jpeg" ("jpg"), "zstd", "webp".
bool ParseCompression(const std::string& text, Compression& compression);
// Whether the libtiff in use can write it (ZSTD and WebP are optional).
bool CompressionAvailable(Compression compression);

// Whether the task's map type is served as PNG (road, Ordnance Survey) or
// as JPEG; it decides the GeoTIFF's default compression.
bool TilesArePng(const task::SavedProject& project);

// "gtiff", "mbtiles", "png", "jpeg" (also "jpg", "tif", "tiff", "geotiff").
bool ParseOutputFormat(const std::string& text, OutputFormat& format);
const char* OutputFormatName(OutputFormat format); // "GeoTIFF", "MBTiles", "PNG", "JPEG"
const char* OutputExtension(OutputFormat format);  // ".tif", ".mbtiles", ".png", ".jpg"

struct JoinOptions {
    OutputFormat Format = OutputFormat::GeoTiff;
    std::string OutputPath; // empty: DefaultOutputPath
    Compression TiffCompression = Compression::Default;
    int JpegQuality = 85; // 1..100, for JPEG output and JPEG blocks
    // A GeoTIFF whose pixels (overviews included) pass this many bytes is
    // written as BigTIFF: a classic TIFF cannot address past 4 GB, and
    // compression may gain less than hoped.
    std::uint64_t BigTiffAbove = 4000000000ull;
    // The run fails, writing nothing, when more than this share of the tiles
    // (in percent) is left out: missing, failed or undecodable.
    double MaxMissingPercent = 100.0;
    // MBTiles: the lowest zoom level stored; below the task's zoom each level
    // is made from the one above. -1: the task's zoom only.
    int MinZoom = -1;
    // GeoTIFF, PNG and JPEG: only the pixels of the area the user typed, not
    // the whole tiles around it.
    bool Clip = false;
    // Threads for a GeoTIFF: 0 uses both cores where there are two or more.
    int Threads = 0;
};

// The image the options make of the task: the tiles' mosaic, or the part of
// it that covers the typed area.
MapRaster RasterFor(const task::KvTask& task, const JoinOptions& options);

// Beside the project file, named after the task: "<save folder><task>.tif".
std::string DefaultOutputPath(const task::SavedProject& project, OutputFormat format);
// The report beside an output: "paris.tif" -> "paris.tif_report.txt".
std::string ReportPathFor(const std::string& outputPath);

struct JoinSummary {
    std::string OutputPath;
    std::string ReportPath;
    std::vector<std::string> SideFiles; // world file, .prj and GDAL's .aux.xml
    std::int64_t Width = 0, Height = 0; // pixels
    bool BigTiff = false;
    TileCounts Counts;
    std::vector<std::string> FirstProblems; // "<file name>  <what>", at most a few
};

enum class JoinOutcome { Done, Cancelled, Failed };

// Why the options cannot work for this task (an image too large for PNG or
// JPEG, MBTiles for tiles that are not 256 x 256, a quality out of range), as
// the sentence the user sees, or "".
std::string CheckOptions(const task::SavedProject& project, const JoinOptions& options);

// Combines the task. On Done the output, its side files and the report are
// in place; on Cancelled or Failed `error` holds the sentence to show, and
// no partial output is left on disk (an output that existed before is
// untouched). Every file is written under a temporary name first and all
// take their places together at the end, the one point after which a cancel
// no longer counts. Refused before anything is written: an output or side
// file that would replace something other than a regular file that may be
// written (links are followed to the file they name), a file of the task,
// or another file of the same run; a task without its tile folder. A run in
// which no tile at all could be combined fails and writes nothing.
JoinOutcome Combine(const task::SavedProject& project, const JoinOptions& options, JoinControl& control,
                    JoinSummary& summary, std::string& error);

} // namespace kartivo::join
