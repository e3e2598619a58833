#pragma once
// One tile file's bytes as an image: which format the bytes really are (a
// tile named .jpg may hold a PNG), whether they end where that format ends,
// and their decoding into 8-bit RGBA of the task's tile size. Damaged,
// truncated, empty or foreign bytes are reported, never trusted.
#include <cstdint>
#include <string>
#include <vector>

namespace kartivo::join {

enum class TileFormat { Unknown, Png, Jpeg };

// The format by its signature, whatever the file name says.
TileFormat DetectTileFormat(const std::string& bytes);
// "png", "jpg" or "" for Unknown.
const char* TileFormatName(TileFormat format);

// A cheap check without decoding: a known signature and the format's end
// marker (PNG's IEND chunk, JPEG's end-of-image) at the end of the bytes.
// Catches tiles cut short by a broken transfer and foreign files.
bool LooksComplete(const std::string& bytes);

// Decodes the bytes into `rgba` (width * height * 4 bytes, rows top to
// bottom). Returns false, with a short reason, when the bytes are no image,
// are damaged or truncated, or are not exactly width x height pixels.
bool DecodeTile(const std::string& bytes, int width, int height, std::vector<std::uint8_t>& rgba,
                std::string& reason);

// Averages 2 x 2 pixels of the RGBA image `src` (valid w x h, rows of
// `stride` pixels) into `dst` (rows of `stride` pixels too) at (dx, dy): the
// step from one level of a pyramid to the next. Colours are weighted by
// their alpha, so that a hole does not darken the edge of its neighbours;
// pixels beyond the valid area are left out.
void HalveRgba(const std::vector<std::uint8_t>& src, int w, int h, int stride, std::vector<std::uint8_t>& dst,
               int dx, int dy);

// Encodes RGBA pixels as a PNG (RGBA) or a JPEG (RGB, alpha dropped) tile
// file's bytes: how test tasks and benchmarks make tiles of known content.
std::string EncodeTile(const std::vector<std::uint8_t>& rgba, int width, int height, TileFormat format,
                       int quality = 90);

} // namespace kartivo::join
