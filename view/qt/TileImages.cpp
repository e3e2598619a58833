#include "view/qt/TileImages.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QPainter>

#include "platform/SafeRead.h"
#include "view/qt/OverviewPyramid.h"

namespace kartivo::view::qt {

namespace {

QImage ForPainting(QImage image) {
    // The two formats the raster painter blits fastest.
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                         : QImage::Format_RGB32);
}

} // namespace

QImage DecodeTileImage(const std::string& bytes, QSize tileSize, QSize scaledTo, TileFault& fault) {
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
    if (scaledTo.isValid())
        reader.setScaledSize(scaledTo);
    QImage image;
    if (!reader.read(&image) || image.isNull()) {
        fault = TileFault::Damaged;
        return QImage();
    }
    if (scaledTo.isValid() && image.size() != scaledTo)
        image = image.scaled(scaledTo, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    fault = TileFault::None;
    return ForPainting(std::move(image));
}

TileLook LookAtTile(const task::SavedProject& project, int x, int y, QSize scaledTo) {
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

TileEntry LoadPyramidImage(const task::SavedProject& project, const MapGrid& grid, const PyramidKey& key,
                           const OverviewPyramid* pyramid) {
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
    for (const OverviewCell& cell : grid.CellsOf(key)) {
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
