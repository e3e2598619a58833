#pragma once
// Turning tile files into images the viewer can paint: one task tile at its
// own size, or an overview image of the pyramid drawn from the tiles the map
// grid names for it. Runs on the loader's worker threads: only QImage and a
// QPainter on a QImage, never anything tied to the screen.
#include <QImage>
#include <QRect>
#include <string>
#include <utility>
#include <vector>

#include "task/SavedProject.h"
#include "view/MapGrid.h"
#include "view/ReadOut.h"

namespace kartivo::view::qt {

// A part of an image with no picture of its own: a missing or failed tile, or
// a file that is not an image. Rectangles in the image's pixels, which are
// always TileWidth x TileHeight.
struct TileMark {
    QRect Rect;
    task::TileState State = task::TileState::Missing;
    TileFault Fault = TileFault::None;
    // In a kept overview: the part shows some tiles and lacks others, so it
    // is tinted over its picture rather than covered.
    bool Partly = false;
};

struct TileEntry {
    QImage Image;                // null when nothing could be drawn
    std::vector<TileMark> Marks; // the parts left to the renderer
    // For a level-0 entry: the tile's state and what kept its file from showing.
    task::TileState State = task::TileState::Missing;
    TileFault Fault = TileFault::None;
    // An overview sampled from a few tiles while its true image is built.
    bool Provisional = false;

    std::size_t Cost() const
    {
        return sizeof(TileEntry) + static_cast<std::size_t>(Image.sizeInBytes()) +
               Marks.size() * sizeof(TileMark);
    }
};

// `source` shrunk to `to`, each pixel the mean of the area it stands for
// (within one level), in the same format for RGB32 and premultiplied ARGB32.
QImage ReduceImage(const QImage& source, QSize to);

// Decodes the bytes of a tile whose picture must be `tileSize`, at
// `scaledTo` when that is valid (JPEG then decodes at reduced size
// directly), in the format the painter draws fastest. The size is taken from the image's header before
// anything is decoded, so a file that claims another size costs no memory. A null image with the reason in
// `fault` when the bytes are not such a picture.
QImage DecodeTileImage(const std::string& bytes, QSize tileSize, QSize scaledTo, TileFault& fault);

// What one task tile is on disk, with its picture when it has one (at
// `scaledTo` when valid). Reads at most one tile's worth of bytes, and only
// from a regular file: a named pipe or a device is never opened.
struct TileLook {
    task::TileState State = task::TileState::Missing;
    TileFault Fault = TileFault::None;
    QImage Image;
};
TileLook LookAtTile(const task::SavedProject& project, int x, int y, QSize scaledTo = QSize());

class OverviewPyramid;

// Images of the level below an overview that are already decoded (the
// renderer's cache holds them from a closer view): each stands in for its
// quarter of the overview, shrunk, instead of decoding its tiles again.
using FinerParts = std::vector<std::pair<PyramidKey, TileEntry>>;

// Reads and decodes what the pyramid image `key` shows: a tile, an overview
// drawn from every tile it covers, or a kept overview from `pyramid` (when
// given) once it is ready, until then a stand-in sampled from a few tiles.
// An overview drawn from its tiles takes its quarters from `parts` (the
// children of `key`) where they are given.
TileEntry LoadPyramidImage(const task::SavedProject& project, const MapGrid& grid, const PyramidKey& key,
                           const OverviewPyramid* pyramid = nullptr, const FinerParts& parts = {});

} // namespace kartivo::view::qt
