#include "view/qt/TileImages.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "platform/SafeRead.h"
#include "view/qt/OverviewPyramid.h"

namespace kartivo::view::qt {

namespace {

QImage ForPainting(QImage image)
{
    // The two formats the raster painter blits fastest; a tile already in
    // one of them (every RGB JPEG and PNG) is kept as decoded, uncopied.
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                         : QImage::Format_RGB32);
}

// libjpeg-turbo shrinks by 1/2, 1/4 or 1/8 while decoding, skipping most
// of the inverse transform: the largest such step that stays at least
// `scaledTo`, so the rest is a cheap average and never an enlargement.
int JpegShrink(QSize size, QSize scaledTo)
{
    int f = 1;
    while (f < 8 && size.width() % (2 * f) == 0 && size.height() % (2 * f) == 0 &&
           size.width() / (2 * f) >= scaledTo.width() && size.height() / (2 * f) >= scaledTo.height())
        f *= 2;
    return f;
}

} // namespace

QImage ReduceImage(const QImage& source, QSize to)
{
    if (source.isNull() || !to.isValid() || source.size() == to)
        return source;
    // Qt's smooth scaling averages the area each pixel stands for (within
    // one level of the exact mean) with vector instructions: several times
    // faster than a plain loop, and it keeps RGB32 and premultiplied ARGB32.
    return source.scaled(to, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QImage DecodeTileImage(const std::string& bytes, QSize tileSize, QSize scaledTo, TileFault& fault)
{
    fault = TileFault::NotImage;
    if (bytes.empty())
        return QImage();
    QByteArray data = QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (!reader.canRead())
        return QImage();
    const QSize size = reader.size();
    if (!size.isValid()) {
        fault = TileFault::Damaged;
        return QImage();
    }
    if (size != tileSize) {
        fault = TileFault::WrongSize;
        return QImage();
    }
    const bool scaled = scaledTo.isValid() && scaledTo != size;
    // Only JPEG is asked to shrink while decoding: Qt's PNG reader would
    // decode whole and then smooth-scale, slower than the average below.
    if (scaled && reader.format() == "jpeg") {
        const int f = JpegShrink(size, scaledTo);
        if (f > 1)
            reader.setScaledSize(size / f);
    }
    QImage image;
    if (!reader.read(&image) || image.isNull()) {
        fault = TileFault::Damaged;
        return QImage();
    }
    fault = TileFault::None;
    image = ForPainting(std::move(image));
    return scaled ? ReduceImage(image, scaledTo) : image;
}

TileLook LookAtTile(const task::SavedProject& project, int x, int y, QSize scaledTo)
{
    const task::KvTask& task = project.Task();
    TileLook look;
    std::string bytes;
    const platform::ReadStatus status =
        platform::ReadRegularFile(task.GetTileFilePath(x, y), task::kMaxTileFileBytes, bytes);
    if (status == platform::ReadStatus::TooLarge) {
        // A file is there, but no tile is that large: never read, never decoded.
        look.State = task::TileState::Saved;
        look.Fault = TileFault::TooLarge;
        return look;
    }
    // Anything but a regular file counts as no file.
    look.State = project.StateOfBytes(task.GetTileFileName(x, y), bytes);
    if (look.State == task::TileState::Missing || look.State == task::TileState::Failed)
        return look;
    look.Image = DecodeTileImage(bytes, QSize(task.TileWidth, task.TileHeight), scaledTo, look.Fault);
    return look;
}

namespace {

// Where child (level - 1) `child` of overview `key` lands in the overview's
// pixels: one quarter of it, whether or not the grid reaches that far.
QRect QuarterOf(const MapGrid& grid, const PyramidKey& key, const PyramidKey& child)
{
    const int i = child.Col - key.Col * 2, j = child.Row - key.Row * 2;
    const int x0 = i * grid.TileWidth() / 2, x1 = (i + 1) * grid.TileWidth() / 2;
    const int y0 = j * grid.TileHeight() / 2, y1 = (j + 1) * grid.TileHeight() / 2;
    return QRect(x0, y0, x1 - x0, y1 - y0);
}

// Draws a finer image into its quarter, marks included (scaled to it).
void DrawPart(QPainter& painter, const MapGrid& grid, const QRect& quarter, const TileEntry& part,
              std::vector<TileMark>& marks)
{
    if (!part.Image.isNull()) {
        if (part.Image.width() == 2 * quarter.width() && part.Image.height() == 2 * quarter.height())
            painter.drawImage(quarter.topLeft(), ReduceImage(part.Image, quarter.size()));
        else
            painter.drawImage(quarter, part.Image);
    }
    const double sx = double(quarter.width()) / grid.TileWidth();
    const double sy = double(quarter.height()) / grid.TileHeight();
    for (const TileMark& m : part.Marks) {
        const int left = quarter.left() + static_cast<int>(std::lround(m.Rect.left() * sx));
        const int top = quarter.top() + static_cast<int>(std::lround(m.Rect.top() * sy));
        const int right = quarter.left() + static_cast<int>(std::lround((m.Rect.right() + 1) * sx));
        const int bottom = quarter.top() + static_cast<int>(std::lround((m.Rect.bottom() + 1) * sy));
        marks.push_back(
            {QRect(left, top, std::max(1, right - left), std::max(1, bottom - top)), m.State, m.Fault});
    }
}

} // namespace

TileEntry LoadPyramidImage(const task::SavedProject& project, const MapGrid& grid, const PyramidKey& key,
                           const OverviewPyramid* pyramid, const FinerParts& parts)
{
    TileEntry entry;
    const QRect whole(0, 0, grid.TileWidth(), grid.TileHeight());
    if (key.Level == 0) {
        const int x = grid.Xmin() + key.Col, y = grid.Ymax() - key.Row;
        TileLook look = LookAtTile(project, x, y);
        entry.Image = std::move(look.Image);
        entry.State = look.State;
        entry.Fault = look.Fault;
        if (entry.Image.isNull())
            entry.Marks.push_back({whole, entry.State, entry.Fault});
        return entry;
    }
    if (pyramid && pyramid->Keeps(key)) {
        entry.Image = pyramid->Ready(key, &entry.Marks);
        if (!entry.Image.isNull())
            return entry;
        // Until it is checked (or built): the image an earlier run kept,
        // else one sampled from a few tiles; read again once checked.
        entry.Provisional = true;
        entry.Image = pyramid->Unchecked(key, &entry.Marks);
        if (!entry.Image.isNull())
            return entry;
    }
    // An overview: transparent where the grid ends, so the background shows.
    entry.Image = QImage(whole.size(), QImage::Format_ARGB32_Premultiplied);
    entry.Image.fill(Qt::transparent);
    QPainter painter(&entry.Image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    // Quarters given as finer images: only while every tile below is drawn
    // (a sampled overview is not the mean of its children).
    const std::int64_t span = std::int64_t(1) << key.Level;
    bool given[2][2] = {{false, false}, {false, false}};
    if (span <= MapGrid::kExactSpan)
        for (const auto& [child, part] : parts) {
            const int i = child.Col - key.Col * 2, j = child.Row - key.Row * 2;
            if (child.Level != key.Level - 1 || i < 0 || i > 1 || j < 0 || j > 1 || given[i][j])
                continue;
            given[i][j] = true;
            DrawPart(painter, grid, QuarterOf(grid, key, child), part, entry.Marks);
        }
    for (const OverviewCell& cell : grid.CellsOf(key)) {
        if (span <= MapGrid::kExactSpan) {
            const std::int64_t col = cell.X - grid.Xmin() - key.Col * span;
            const std::int64_t row = grid.Ymax() - cell.Y - key.Row * span;
            if (given[col >= span / 2][row >= span / 2])
                continue;
        }
        const QRect target(cell.Left, cell.Top, cell.Width, cell.Height);
        const TileLook look = LookAtTile(project, cell.X, cell.Y, target.size());
        if (look.Image.isNull())
            entry.Marks.push_back({target, look.State, look.Fault});
        else
            painter.drawImage(target, look.Image);
    }
    return entry;
}

} // namespace kartivo::view::qt
