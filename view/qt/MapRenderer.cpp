#include "view/qt/MapRenderer.h"

#include <QPen>
#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "task/Unitclasstask.h"
#include "view/MapScale.h"
#include "view/ReadOut.h"

namespace kartivo::view::qt {

namespace {

// How many pyramid images a band of Render may need at once: well inside
// the default cache bound even at 256 KB an image.
constexpr std::size_t kImagesPerBand = 256;

} // namespace

MapRenderer::MapRenderer(const task::SavedProject& project, std::size_t cacheBytes, int loaderThreads,
                         const std::string& overviewCache)
    : project_(project), grid_(MapGrid::OfTask(project.Task())), failedTiles_(MapGrid::FailedTiles(project)),
      cache_(cacheBytes), pyramid_(std::make_unique<OverviewPyramid>(project_, grid_, overviewCache)),
      loader_(std::make_unique<TileLoader>(project_, grid_, loaderThreads, pyramid_.get()))
{
}

MapRenderer::~MapRenderer()
{
    loader_.reset();
    pyramid_.reset();
}

void MapRenderer::SetOnTilesReady(std::function<void()> notify)
{
    loader_->SetNotifier(notify);
    pyramid_->SetNotifier([notify](const PyramidKey&) { notify(); });
}

void MapRenderer::Forget()
{
    cache_.Clear();
    pyramid_->Forget();
}

void MapRenderer::Absorb()
{
    for (TileLoader::Result& r : loader_->TakeDone()) {
        const std::size_t cost = r.second.Cost();
        cache_.Insert(r.first, std::move(r.second), cost);
    }
}

void MapRenderer::WaitForLoads()
{
    loader_->WaitIdle();
    Absorb();
}

const TileEntry* MapRenderer::CachedTile(int x, int y) const
{
    return cache_.Peek({0, x - grid_.Xmin(), grid_.Ymax() - y});
}

QRect MapRenderer::ScreenRect(const Viewport& view, const MapRect& r) const
{
    // Whole screen pixels, so that neighbouring images meet without a seam.
    const ScreenPoint a = view.MapToScreen({r.Left, r.Top});
    const ScreenPoint b = view.MapToScreen({r.Right, r.Bottom});
    const int x0 = static_cast<int>(std::lround(a.X)), y0 = static_cast<int>(std::lround(a.Y));
    const int x1 = static_cast<int>(std::lround(b.X)), y1 = static_cast<int>(std::lround(b.Y));
    return QRect(x0, y0, std::max(1, x1 - x0), std::max(1, y1 - y0));
}

void MapRenderer::DrawEntry(QPainter& painter, const QRect& target, const TileEntry& entry, bool marks,
                            bool smooth) const
{
    painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
    if (!entry.Image.isNull())
        painter.drawImage(target, entry.Image);
    if (entry.Marks.empty())
        return;
    const double sx = double(target.width()) / grid_.TileWidth();
    const double sy = double(target.height()) / grid_.TileHeight();
    for (const TileMark& m : entry.Marks) {
        const QRectF r(target.left() + m.Rect.left() * sx, target.top() + m.Rect.top() * sy,
                       m.Rect.width() * sx, m.Rect.height() * sy);
        // A part that shows some tiles keeps its picture under the tint.
        if (!m.Partly)
            painter.fillRect(r, viewcolors::NoImage);
        if (!marks)
            continue;
        QColor c = m.State == task::TileState::Failed ? viewcolors::FailedMark : viewcolors::MissingMark;
        QColor tint = c;
        tint.setAlpha(m.Partly ? 90 : 150);
        painter.fillRect(r, tint);
        if (!m.Partly && r.width() >= 12 && r.height() >= 12) {
            // A cross and a frame, so the tile stands out even on a pale map.
            painter.setPen(QPen(c.darker(130), std::clamp(r.width() / 64, 1.0, 3.0)));
            painter.setRenderHint(QPainter::Antialiasing, false);
            const QRectF in = r.adjusted(1, 1, -1, -1);
            painter.drawRect(in);
            painter.drawLine(in.topLeft(), in.bottomRight());
            painter.drawLine(in.topRight(), in.bottomLeft());
        }
    }
}

bool MapRenderer::DrawStandIn(QPainter& painter, const Viewport& view, const PyramidKey& key) const
{
    const MapRect want = grid_.KeyRect(key);
    // A coarser image, stretched: blurred, but in place at once.
    for (int up = 1; up <= 6 && key.Level + up <= grid_.MaxLevel(); ++up) {
        const PyramidKey parent{key.Level + up, key.Col >> up, key.Row >> up};
        const TileEntry* e = cache_.Peek(parent);
        if (!e || e->Image.isNull())
            continue;
        const MapRect pr = grid_.KeyRect(parent);
        const double f = std::ldexp(1.0, -parent.Level); // map pixels to image pixels
        const QRectF source((want.Left - pr.Left) * f, (want.Top - pr.Top) * f, (want.Right - want.Left) * f,
                            (want.Bottom - want.Top) * f);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        painter.drawImage(QRectF(ScreenRect(view, want)), e->Image, source);
        return true;
    }
    // Finer images left over from a closer view.
    bool any = false;
    if (key.Level > 0) {
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) {
                const PyramidKey child{key.Level - 1, key.Col * 2 + i, key.Row * 2 + j};
                if (const TileEntry* e = cache_.Peek(child)) {
                    DrawEntry(painter, ScreenRect(view, grid_.KeyRect(child)), *e, false, true);
                    any = true;
                }
            }
    }
    return any;
}

std::vector<PyramidKey> MapRenderer::Lacking(const Viewport& view) const
{
    std::vector<PyramidKey> lacking;
    for (const PyramidKey& k : grid_.KeysCovering(view.VisibleMap(), view.Level(grid_)))
        if (!cache_.Contains(k))
            lacking.push_back(k);
    return lacking;
}

std::vector<TileLoader::Wish> MapRenderer::Wishes(const std::vector<PyramidKey>& keys) const
{
    std::vector<TileLoader::Wish> wishes;
    wishes.reserve(keys.size());
    for (const PyramidKey& k : keys) {
        TileLoader::Wish w{k, {}};
        // An overview drawn from tiles takes the finer images already
        // decoded for a closer view instead of decoding their tiles again.
        if (k.Level >= 1 && !pyramid_->Keeps(k))
            for (int i = 0; i < 2; ++i)
                for (int j = 0; j < 2; ++j) {
                    const PyramidKey child{k.Level - 1, k.Col * 2 + i, k.Row * 2 + j};
                    const TileEntry* e = cache_.Peek(child);
                    if (e && !e->Provisional)
                        w.Parts.emplace_back(child, *e);
                }
        wishes.push_back(std::move(w));
    }
    return wishes;
}

std::vector<PyramidKey> MapRenderer::Ring(const Viewport& view, int level,
                                          const std::vector<PyramidKey>& visible) const
{
    // Half a screen or one image beyond each edge, whichever is more: a
    // steady drag reaches it only after the loader has had time for it.
    const MapRect vis = view.VisibleMap();
    const double mx = std::max(std::ldexp(double(grid_.TileWidth()), level), (vis.Right - vis.Left) / 2);
    const double my = std::max(std::ldexp(double(grid_.TileHeight()), level), (vis.Bottom - vis.Top) / 2);
    const MapRect around{vis.Left - mx, vis.Top - my, vis.Right + mx, vis.Bottom + my};
    std::unordered_set<PyramidKey, PyramidKeyHash> seen(visible.begin(), visible.end());
    std::vector<PyramidKey> ring;
    for (const PyramidKey& k : grid_.KeysCovering(around, level)) {
        if (seen.count(k) || cache_.Contains(k))
            continue;
        // Kept overviews only once they are ready: a stand-in would be
        // sampled from many tiles, for a place not even in sight.
        if (pyramid_->Keeps(k) && !pyramid_->IsReady(k))
            continue;
        ring.push_back(k);
    }
    return ring;
}

bool MapRenderer::Paint(QPainter& painter, const Viewport& view, const Overlays& overlays)
{
    return PaintView(painter, view, overlays, true);
}

bool MapRenderer::PaintView(QPainter& painter, const Viewport& view, const Overlays& overlays,
                            bool lookAround)
{
    painter.save();
    painter.fillRect(QRect(0, 0, view.Width(), view.Height()), viewcolors::Background);
    const int level = view.Level(grid_);
    const std::vector<PyramidKey> keys = grid_.KeysCovering(view.VisibleMap(), level);
    // Images shown smaller than their own size are smoothed; larger, their
    // pixels stay sharp so the tiles' own pixels can be seen.
    const bool smooth = view.Scale() * std::ldexp(1.0, level) < 0.999;
    std::vector<PyramidKey> lacking, toBuild, placeholders;
    // Map pixels beyond the grid inside an image's rectangle are transparent
    // in overviews; a tile (level 0) never reaches beyond the grid.
    for (const PyramidKey& k : keys) {
        const QRect target = ScreenRect(view, grid_.KeyRect(k));
        const bool kept = pyramid_->Keeps(k);
        const bool ready = kept && pyramid_->IsReady(k);
        if (kept && !ready)
            toBuild.push_back(k);
        if (const TileEntry* e = cache_.Find(k)) {
            if (kept) {
                // Missing tiles are transparent in a kept overview: they
                // show the colour of a tile without a picture.
                const MapRect kr = grid_.KeyRect(k);
                painter.fillRect(ScreenRect(view, {kr.Left, kr.Top, std::min(kr.Right, grid_.Width()),
                                                   std::min(kr.Bottom, grid_.Height())}),
                                 viewcolors::NoImage);
            }
            DrawEntry(painter, target, *e, overlays.Marks, smooth);
            // A stand-in whose true overview is now built is read again.
            if (e->Provisional && ready)
                lacking.push_back(k);
        } else {
            lacking.push_back(k);
            const MapRect kr = grid_.KeyRect(k);
            const MapRect clipped{kr.Left, kr.Top, std::min(kr.Right, grid_.Width()),
                                  std::min(kr.Bottom, grid_.Height())};
            painter.fillRect(ScreenRect(view, clipped), viewcolors::Loading);
            if (!DrawStandIn(painter, view, k) && lookAround) {
                // Nothing to stretch in: the nearest coarser overview that
                // is ready comes first, one quick read for a whole block.
                for (int up = 1; up <= 8 && level + up <= grid_.MaxLevel(); ++up) {
                    const PyramidKey parent{k.Level + up, k.Col >> up, k.Row >> up};
                    if (!pyramid_->Keeps(parent) || !pyramid_->IsReady(parent))
                        continue;
                    if (!cache_.Contains(parent) &&
                        std::find(placeholders.begin(), placeholders.end(), parent) == placeholders.end())
                        placeholders.push_back(parent);
                    break;
                }
            }
        }
    }
    std::vector<PyramidKey> wanted = placeholders;
    wanted.insert(wanted.end(), lacking.begin(), lacking.end());
    if (lookAround) {
        const std::vector<PyramidKey> ring = Ring(view, level, keys);
        wanted.insert(wanted.end(), ring.begin(), ring.end());
    }
    loader_->Want(Wishes(wanted));
    pyramid_->Want(toBuild);
    buildingLevel_ = toBuild.empty() ? -1 : level;
    allImagesAtHand_ = lacking.empty();
    if (overlays.Marks && (std::int64_t(1) << level) > MapGrid::kExactSpan)
        DrawListedFailures(painter, view);
    if (overlays.Grid)
        DrawGrid(painter, view);
    if (overlays.Graticule)
        DrawGraticule(painter, view);
    if (overlays.Area)
        DrawArea(painter, view);
    painter.restore();
    return lacking.empty() && toBuild.empty();
}

void MapRenderer::DrawGrid(QPainter& painter, const Viewport& view) const
{
    const double tw = grid_.TileWidth() * view.Scale(), th = grid_.TileHeight() * view.Scale();
    // Every tile edge while tiles are large enough to tell apart; every
    // 2nd, 4th, ... edge when they are smaller.
    int step = 1;
    while (std::min(tw, th) * step < 12 && step < (1 << 30))
        step *= 2;
    const MapRect vis = view.VisibleMap();
    const int c0 = std::max(0, static_cast<int>(std::floor(vis.Left / grid_.TileWidth())));
    const int c1 = std::min(grid_.Columns(), static_cast<int>(std::ceil(vis.Right / grid_.TileWidth())));
    const int r0 = std::max(0, static_cast<int>(std::floor(vis.Top / grid_.TileHeight())));
    const int r1 = std::min(grid_.Rows(), static_cast<int>(std::ceil(vis.Bottom / grid_.TileHeight())));
    if (c0 > c1 || r0 > r1)
        return;
    const ScreenPoint top = view.MapToScreen({0, double(r0) * grid_.TileHeight()});
    const ScreenPoint bottom = view.MapToScreen({grid_.Width(), double(r1) * grid_.TileHeight()});
    const ScreenPoint left = view.MapToScreen({double(c0) * grid_.TileWidth(), 0});
    const ScreenPoint right = view.MapToScreen({double(c1) * grid_.TileWidth(), grid_.Height()});
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(QColor(255, 255, 255, 160), 1));
    for (int c = (c0 + step - 1) / step * step; c <= c1; c += step) {
        const double x = std::round(view.MapToScreen({double(c) * grid_.TileWidth(), 0}).X);
        painter.drawLine(QPointF(x, top.Y), QPointF(x, bottom.Y));
    }
    for (int r = (r0 + step - 1) / step * step; r <= r1; r += step) {
        const double y = std::round(view.MapToScreen({0, double(r) * grid_.TileHeight()}).Y);
        painter.drawLine(QPointF(left.X, y), QPointF(right.X, y));
    }
    if (tw >= 110 && th >= 40) {
        // Column and row of every tile in sight.
        painter.setPen(QColor(255, 255, 255));
        for (int c = c0; c < c1; ++c)
            for (int r = r0; r < r1; ++r) {
                const ScreenPoint p =
                    view.MapToScreen({double(c) * grid_.TileWidth(), double(r) * grid_.TileHeight()});
                const QString label =
                    QString::number(grid_.Xmin() + c) + "," + QString::number(grid_.Ymax() - r);
                const QRectF box(p.X + 4, p.Y + 3, painter.fontMetrics().horizontalAdvance(label) + 6,
                                 painter.fontMetrics().height() + 2);
                painter.fillRect(box, QColor(0, 0, 0, 140));
                painter.drawText(box, Qt::AlignCenter, label);
            }
    }
}

void MapRenderer::DrawListedFailures(QPainter& painter, const Viewport& view) const
{
    // At least a few pixels, so that one failed tile among thousands shows.
    const double w = std::max(3.0, grid_.TileWidth() * view.Scale());
    const double h = std::max(3.0, grid_.TileHeight() * view.Scale());
    const MapRect vis = view.VisibleMap();
    for (const auto& [x, y] : failedTiles_) {
        const MapRect r = grid_.TileRect(x, y);
        if (r.Right < vis.Left || r.Left > vis.Right || r.Bottom < vis.Top || r.Top > vis.Bottom)
            continue;
        const ScreenPoint c = view.MapToScreen({(r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2});
        painter.fillRect(QRectF(c.X - w / 2, c.Y - h / 2, w, h), viewcolors::FailedMark);
    }
}

void MapRenderer::DrawGraticule(QPainter& painter, const Viewport& view) const
{
    const MapRect vis = view.VisibleMap();
    const LonLat nw = grid_.MapToLonLat({vis.Left, vis.Top}), se = grid_.MapToLonLat({vis.Right, vis.Bottom});
    const double west = std::max(-180.0, nw.Lon), east = std::min(180.0, se.Lon);
    const double south = std::max(-85.0511287798, se.Lat), north = std::min(85.0511287798, nw.Lat);
    if (!(west < east && south < north))
        return;
    const double step = GraticuleStep(std::min(east - west, north - south));
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(viewcolors::Graticule, 1));
    const int decimals = std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
    auto label = [&](double v) { return QString::fromStdString(FormatDecimal(v, decimals)) + "\u00b0"; };
    for (double lon = std::ceil(west / step) * step; lon <= east; lon += step) {
        const double x = std::round(view.MapToScreen(grid_.LonLatToMap(lon, 0)).X);
        painter.drawLine(QPointF(x, 0), QPointF(x, view.Height()));
        painter.drawText(QPointF(x + 3, 12), label(lon));
    }
    for (double lat = std::ceil(south / step) * step; lat <= north; lat += step) {
        const double y = std::round(view.MapToScreen(grid_.LonLatToMap(0, lat)).Y);
        painter.drawLine(QPointF(0, y), QPointF(view.Width(), y));
        painter.drawText(QPointF(3, y - 3), label(lat));
    }
}

void MapRenderer::DrawArea(QPainter& painter, const Viewport& view) const
{
    const task::TaskParameters& p = project_.Params();
    const MapPoint nw = grid_.LonLatToMap(p.LeftLongitude, p.TopLatitude);
    const MapPoint se = grid_.LonLatToMap(p.RightLongitude, p.BottomLatitude);
    // Held near the screen: a far corner at a high scale lies beyond what the
    // painter's integer coordinates can take.
    auto near = [](ScreenPoint s) { return QPointF(std::clamp(s.X, -1e6, 1e6), std::clamp(s.Y, -1e6, 1e6)); };
    const QPointF a = near(view.MapToScreen(nw)), b = near(view.MapToScreen(se));
    painter.setRenderHint(QPainter::Antialiasing, false);
    QPen pen(viewcolors::Area, 2, Qt::DashLine);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(a, b));
}

std::int64_t MapRenderer::OverviewsUnder(const Viewport& view) const
{
    const int level = view.Level(grid_);
    if (!pyramid_->Keeps({level, 0, 0}))
        return 0;
    const std::vector<PyramidKey> keys = grid_.KeysCovering(view.VisibleMap(), level);
    if (keys.empty())
        return 0;
    long long c0 = keys[0].Col, c1 = c0, r0 = keys[0].Row, r1 = r0;
    for (const PyramidKey& k : keys) {
        c0 = std::min<long long>(c0, k.Col), c1 = std::max<long long>(c1, k.Col);
        r0 = std::min<long long>(r0, k.Row), r1 = std::max<long long>(r1, k.Row);
    }
    // Every image on the grid under those, down to the first kept level.
    std::int64_t total = 0;
    for (int l = OverviewPyramid::kFirstLevel; l <= level; ++l) {
        const int shift = level - l;
        const long long span = 1ll << l;
        const long long columns = (grid_.Columns() + span - 1) / span,
                        rows = (grid_.Rows() + span - 1) / span;
        const long long w = std::min(columns, (c1 + 1) << shift) - std::min(columns, c0 << shift);
        const long long h = std::min(rows, (r1 + 1) << shift) - std::min(rows, r0 << shift);
        total += w * h;
    }
    return total;
}

QImage MapRenderer::Render(const Viewport& view, const Overlays& overlays, const Progress& progress)
{
    QImage image(view.Width(), view.Height(), QImage::Format_RGB32);
    if (image.isNull())
        return image;
    QPainter painter(&image);
    // Bands of whole rows of images, each loaded and painted before the next.
    const int level = view.Level(grid_);
    const double imageHeight = std::ldexp(double(grid_.TileHeight()), level) * view.Scale();
    const double imagesPerRow =
        std::ceil(view.Width() / (std::ldexp(double(grid_.TileWidth()), level) * view.Scale())) + 1;
    const int rowsPerBand = std::max(1, static_cast<int>(kImagesPerBand / imagesPerRow));
    const int bandHeight = std::max(1, static_cast<int>(std::floor(rowsPerBand * imageHeight)));
    // The tiles under the whole picture's overviews are looked at on several
    // threads at once, before the bands check them one image at a time.
    pyramid_->LookAhead(grid_.KeysCovering(view.VisibleMap(), level));
    const std::int64_t total = progress ? OverviewsUnder(view) : 0;
    std::int64_t done = 0;
    std::function<void()> onEach;
    if (progress && total > 0)
        onEach = [&] { progress(std::min(++done, total), total); };
    for (int top = 0; top < view.Height(); top += bandHeight) {
        const int height = std::min(bandHeight, view.Height() - top);
        Viewport band(view.Width(), height);
        band.SetCenter(view.ScreenToMap({view.Width() / 2.0, top + height / 2.0}));
        // The band keeps the view's scale exactly (no limits apply here).
        band.SetExactScale(view.Scale());
        // The true overviews first, built here when they are not yet.
        for (const PyramidKey& k : grid_.KeysCovering(band.VisibleMap(), level)) {
            if (!pyramid_->Keeps(k) || pyramid_->IsReady(k))
                continue;
            pyramid_->Build(k, nullptr, onEach);
            const TileEntry* e = cache_.Peek(k);
            if (e && e->Provisional)
                cache_.Erase(k);
        }
        // A few rounds at most: a cache bound smaller than one band would
        // otherwise never hold it all, and then the band is drawn as it stands.
        for (int round = 0; round < 4; ++round) {
            Absorb();
            const std::vector<PyramidKey> lacking = Lacking(band);
            if (lacking.empty())
                break;
            loader_->Want(Wishes(lacking));
            loader_->WaitIdle();
        }
        Absorb();
        painter.save();
        painter.translate(0, top);
        painter.setClipRect(QRect(0, 0, view.Width(), height));
        // The graticule's labels sit at the picture's edges: drawn once below.
        Overlays bandOverlays = overlays;
        bandOverlays.Graticule = false;
        PaintView(painter, band, bandOverlays, false);
        painter.restore();
    }
    // What was looked at but not used is not kept for a later check.
    pyramid_->LookAhead({});
    if (overlays.Graticule)
        DrawGraticule(painter, view);
    return image;
}

} // namespace kartivo::view::qt
