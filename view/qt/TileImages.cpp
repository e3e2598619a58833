#include "view/qt/TileImages.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QPainter>

namespace kartivo::view::qt {

namespace {

QImage ForPainting(QImage image) {
    // The two formats the raster painter blits fastest.
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                         : QImage::Format_RGB32);
}

// Reads one task tile: its state, and its picture when it has one.
QImage ReadTile(const task::SavedProject& project, int x, int y, QSize scaledTo, task::TileState& state,
                bool& unreadable) {
    const task::KvTask& task = project.Task();
    std::string bytes;
    task::ReadWholeFile(task.GetTileFilePath(x, y), bytes);
    state = project.StateOfBytes(task.GetTileFileName(x, y), bytes);
    unreadable = false;
    if (state == task::TileState::Missing || state == task::TileState::Failed)
        return QImage();
    QImage image = DecodeTileImage(bytes, scaledTo);
    unreadable = image.isNull();
    return image;
}

} // namespace

QImage DecodeTileImage(const std::string& bytes, QSize scaledTo) {
    if (bytes.empty())
        return QImage();
    QByteArray data = QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > kMaxTileSide || size.height() > kMaxTileSide))
        return QImage();
    if (scaledTo.isValid() && size.isValid())
        reader.setScaledSize(scaledTo);
    QImage image;
    if (!reader.read(&image) || image.isNull())
        return QImage();
    if (scaledTo.isValid() && image.size() != scaledTo)
        image = image.scaled(scaledTo, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return ForPainting(std::move(image));
}

TileEntry LoadPyramidImage(const task::SavedProject& project, const MapGrid& grid, const PyramidKey& key) {
    TileEntry entry;
    const QRect whole(0, 0, grid.TileWidth(), grid.TileHeight());
    if (key.Level == 0) {
        const int x = grid.Xmin() + key.Col, y = grid.Ymax() - key.Row;
        entry.Image = ReadTile(project, x, y, QSize(), entry.State, entry.Unreadable);
        if (entry.Image.isNull())
            entry.Marks.push_back({whole, entry.State, entry.Unreadable});
        return entry;
    }
    // An overview: transparent where the grid ends, so the background shows.
    entry.Image = QImage(whole.size(), QImage::Format_ARGB32_Premultiplied);
    entry.Image.fill(Qt::transparent);
    QPainter painter(&entry.Image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    for (const OverviewCell& cell : grid.CellsOf(key)) {
        const QRect target(cell.Left, cell.Top, cell.Width, cell.Height);
        task::TileState state;
        bool unreadable;
        const QImage tile = ReadTile(project, cell.X, cell.Y, target.size(), state, unreadable);
        if (tile.isNull())
            entry.Marks.push_back({target, state, unreadable});
        else
            painter.drawImage(target, tile);
    }
    return entry;
}

} // namespace kartivo::view::qt
