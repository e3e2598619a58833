#pragma once
// Turning tile files into images the viewer can paint: one task tile at its
// own size, or an overview image of the pyramid drawn from the tiles the map
// grid names for it. Runs on the loader's worker threads: only QImage and a
// QPainter on a QImage, never anything tied to the screen.
#include <QImage>
#include <QRect>
#include <string>
#include <vector>

#include "task/SavedProject.h"
#include "view/MapGrid.h"

namespace kartivo::view::qt {

// A part of an image with no picture of its own: a missing or failed tile, or
// a file that is not an image. Rectangles in the image's pixels, which are
// always TileWidth x TileHeight.
struct TileMark {
    QRect Rect;
    task::TileState State = task::TileState::Missing;
    bool Unreadable = false;
};

struct TileEntry {
    QImage Image;                  // null when nothing could be drawn
    std::vector<TileMark> Marks;   // the parts left to the renderer
    // For a level-0 entry: the tile's state and whether its file failed to decode.
    task::TileState State = task::TileState::Missing;
    bool Unreadable = false;

    std::size_t Cost() const {
        return sizeof(TileEntry) + static_cast<std::size_t>(Image.sizeInBytes()) +
               Marks.size() * sizeof(TileMark);
    }
};

// The largest picture a tile file may claim; anything beyond is not a tile
// and is treated as unreadable rather than decoded.
inline constexpr int kMaxTileSide = 4096;

// Decodes image bytes, at `scaledTo` when that is valid (JPEG then decodes
// at reduced size directly). A null image when the bytes are not an image.
QImage DecodeTileImage(const std::string& bytes, QSize scaledTo = QSize());

// Reads and decodes what the pyramid image `key` shows.
TileEntry LoadPyramidImage(const task::SavedProject& project, const MapGrid& grid, const PyramidKey& key);

} // namespace kartivo::view::qt
