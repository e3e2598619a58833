#include "view/qt/MapWidget.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <cmath>

#include "platform/qt/EventGuard.h"
#include "view/MapScale.h"

namespace kartivo::view::qt {

using platform::qt::RunGuarded;

MapWidget::MapWidget(QWidget* parent) : QWidget(parent)
{
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(200, 150);
    view_.Resize(width(), height());
}

MapWidget::~MapWidget()
{
    // The loader's workers stop before the project they read goes.
    renderer_.reset();
}

void MapWidget::SetProject(std::unique_ptr<task::SavedProject> project)
{
    renderer_.reset();
    project_ = std::move(project);
    note_.clear();
    emit noteChanged(QString());
    selection_.reset();
    stateText_.clear();
    if (project_) {
        renderer_ = std::make_unique<MapRenderer>(*project_);
        // Workers finish off the main thread; the frame is redrawn on it.
        renderer_->SetOnTilesReady([this] {
            QMetaObject::invokeMethod(
                this, [this] { TilesReady(); }, Qt::QueuedConnection);
        });
        FitToArea();
        fitPending_ = !isVisible();
    }
    emit selectionChanged(false);
    Changed();
}

void MapWidget::TilesReady()
{
    if (!renderer_)
        return;
    renderer_->Absorb();
    update();
}

void MapWidget::Changed()
{
    update();
    emit viewChanged();
}

void MapWidget::SetOverlays(const Overlays& overlays)
{
    overlays_ = overlays;
    update();
}

void MapWidget::FitToArea()
{
    if (!renderer_)
        return;
    view_.Fit(renderer_->Grid());
    Changed();
}

void MapWidget::ZoomAt(QPointF at, double factor)
{
    if (!renderer_)
        return;
    view_.ZoomAbout({at.x(), at.y()}, factor, renderer_->Grid());
    Changed();
}

void MapWidget::ZoomBy(double factor) { ZoomAt(QPointF(width() / 2.0, height() / 2.0), factor); }

void MapWidget::ShowActualPixels()
{
    if (!renderer_)
        return;
    view_.SetScale(1.0, renderer_->Grid());
    Changed();
}

void MapWidget::PanBy(double dx, double dy)
{
    view_.Pan(dx, dy);
    Changed();
}

void MapWidget::CenterOn(double lon, double lat)
{
    if (!renderer_)
        return;
    view_.SetCenter(renderer_->Grid().LonLatToMap(lon, lat));
    Changed();
}

void MapWidget::CenterOnMap(MapPoint p)
{
    if (!renderer_)
        return;
    view_.SetCenter(p);
    Changed();
}

void MapWidget::ZoomToSelection()
{
    if (!renderer_ || !selection_)
        return;
    const auto& [a, b] = *selection_;
    view_.FitRect({std::min(a.X, b.X), std::min(a.Y, b.Y), std::max(a.X, b.X), std::max(a.Y, b.Y)},
                  renderer_->Grid());
    Changed();
}

std::string MapWidget::PositionUnderCursor() const
{
    if (!renderer_ || !mouseSeen_)
        return std::string();
    return PositionText(renderer_->Grid().MapToLonLat(view_.ScreenToMap({lastMouse_.x(), lastMouse_.y()})));
}

void MapWidget::Reload()
{
    if (!renderer_)
        return;
    renderer_->Forget();
    stateText_.clear();
    update();
}

AreaDegrees MapWidget::SelectionDegrees() const
{
    if (!selection_ || !renderer_)
        return {};
    return SelectionArea(renderer_->Grid(), selection_->first, selection_->second);
}

void MapWidget::SetSelection(MapPoint a, MapPoint b)
{
    selection_ = std::make_pair(a, b);
    emit selectionChanged(true);
    update();
}

void MapWidget::ClearSelection()
{
    if (!selection_)
        return;
    selection_.reset();
    emit selectionChanged(false);
    update();
}

QString MapWidget::ReadOutAt(QPointF at) const
{
    if (!renderer_)
        return QString();
    const MapPoint p = view_.ScreenToMap({at.x(), at.y()});
    const ReadOut r = view::ReadOutAt(renderer_->Grid(), project_->Task(), p);
    std::string state;
    if (r.OnTile) {
        if (stateText_.empty() || r.X != stateX_ || r.Y != stateY_) {
            // One look at the file per tile the cursor enters: the tile as
            // loaded when it is at hand, else the file read and decoded once,
            // so a file drawn as missing is never called merely "saved".
            task::TileState state = task::TileState::Missing;
            TileFault fault = TileFault::None;
            if (const TileEntry* cached = renderer_->CachedTile(r.X, r.Y)) {
                state = cached->State;
                fault = cached->Fault;
            } else {
                const TileLook look = LookAtTile(*project_, r.X, r.Y);
                state = look.State;
                fault = look.Fault;
            }
            stateText_ = StateText(state, fault, project_->FailedTileNames().count(r.FileName) != 0);
            stateX_ = r.X;
            stateY_ = r.Y;
        }
        state = stateText_;
    }
    return QString::fromStdString(ReadOutLine(r, state));
}

QImage MapWidget::RenderView(int width, Viewport* drawn)
{
    if (!renderer_)
        return QImage();
    Viewport v = view_;
    if (width > 0 && width != view_.Width()) {
        const double f = double(width) / view_.Width();
        v.Resize(width, std::max(1, static_cast<int>(std::lround(view_.Height() * f))));
        v.SetExactScale(view_.Scale() * f);
    }
    if (drawn)
        *drawn = v;
    return renderer_->Render(v, overlays_);
}

void MapWidget::paintEvent(QPaintEvent*)
{
    RunGuarded([&] {
        QPainter painter(this);
        if (!renderer_) {
            painter.fillRect(rect(), viewcolors::Background);
            painter.setPen(QColor(220, 220, 220));
            painter.drawText(rect(), Qt::AlignCenter,
                             "Open a Kartivo project (File > Open) to see its tiles.");
            return;
        }
        renderer_->Absorb();
        complete_ = renderer_->Paint(painter, view_, overlays_);
        // What the frame still waits for, in the status bar.
        const QString note =
            renderer_->BuildingLevel() >= 0
                ? QString("Checking or building the overview of this scale: a preview is shown")
            : !complete_ ? QString("Loading tiles...")
                         : QString();
        if (note != note_) {
            note_ = note;
            emit noteChanged(note_);
        }
        // The scale bar, bottom left: true at the view's centre.
        const ScaleBar bar = ChooseScaleBar(MetresPerScreenPixel(renderer_->Grid(), view_), 160);
        if (bar.Pixels >= 1) {
            const QString label = QString::fromStdString(bar.Label);
            const int textWidth = painter.fontMetrics().horizontalAdvance(label);
            const QRectF box(8, height() - 30, std::max(bar.Pixels, double(textWidth)) + 12, 24);
            painter.fillRect(box, QColor(255, 255, 255, 200));
            painter.setPen(QPen(Qt::black, 2));
            const double y = box.bottom() - 5, x0 = box.left() + 6;
            painter.drawLine(QPointF(x0, y), QPointF(x0 + bar.Pixels, y));
            painter.drawLine(QPointF(x0, y - 4), QPointF(x0, y));
            painter.drawLine(QPointF(x0 + bar.Pixels, y - 4), QPointF(x0 + bar.Pixels, y));
            painter.drawText(QRectF(x0, box.top(), box.width() - 12, 16), Qt::AlignLeft | Qt::AlignVCenter,
                             label);
        }
        if (selection_) {
            const ScreenPoint a = view_.MapToScreen(selection_->first);
            const ScreenPoint b = view_.MapToScreen(selection_->second);
            const QRectF r = QRectF(QPointF(a.X, a.Y), QPointF(b.X, b.Y)).normalized();
            painter.fillRect(r, QColor(40, 120, 255, 60));
            painter.setPen(QPen(QColor(40, 120, 255), 1));
            painter.drawRect(r);
        }
    });
}

void MapWidget::resizeEvent(QResizeEvent*)
{
    // Keep the map point in the middle where it was.
    view_.Resize(width(), height());
    if (fitPending_ && renderer_) {
        fitPending_ = false;
        view_.Fit(renderer_->Grid());
    }
    emit viewChanged();
}

void MapWidget::mousePressEvent(QMouseEvent* e)
{
    lastMouse_ = e->position();
    if (!renderer_)
        return;
    const bool select = e->button() == Qt::RightButton ||
                        (e->button() == Qt::LeftButton && (e->modifiers() & Qt::ShiftModifier));
    if (select) {
        drag_ = Drag::Select;
        const MapPoint p = view_.ScreenToMap({e->position().x(), e->position().y()});
        selection_ = std::make_pair(p, p);
        update();
    } else if (e->button() == Qt::LeftButton) {
        drag_ = Drag::Pan;
        setCursor(Qt::ClosedHandCursor);
    }
}

void MapWidget::mouseMoveEvent(QMouseEvent* e)
{
    const QPointF pos = e->position();
    if (drag_ == Drag::Pan) {
        PanBy(pos.x() - lastMouse_.x(), pos.y() - lastMouse_.y());
    } else if (drag_ == Drag::Select && selection_) {
        selection_->second = view_.ScreenToMap({pos.x(), pos.y()});
        update();
    }
    lastMouse_ = pos;
    mouseSeen_ = true;
    if (drag_ == Drag::Select && selection_ && renderer_)
        emit readOutChanged(QString::fromStdString(
            SelectionSizeText(renderer_->Grid(), selection_->first, selection_->second)));
    else
        emit readOutChanged(ReadOutAt(pos));
}

void MapWidget::mouseReleaseEvent(QMouseEvent* e)
{
    if (drag_ == Drag::Select && selection_) {
        selection_->second = view_.ScreenToMap({e->position().x(), e->position().y()});
        // A click without a drag selects nothing.
        const ScreenPoint a = view_.MapToScreen(selection_->first);
        const ScreenPoint b = view_.MapToScreen(selection_->second);
        if (std::fabs(a.X - b.X) < 3 || std::fabs(a.Y - b.Y) < 3)
            selection_.reset();
        emit selectionChanged(selection_.has_value());
        update();
    }
    drag_ = Drag::None;
    unsetCursor();
}

void MapWidget::wheelEvent(QWheelEvent* e)
{
    // One notch (120) zooms by the square root of two.
    const double notches = e->angleDelta().y() / 120.0;
    if (notches != 0)
        ZoomAt(e->position(), std::pow(2.0, notches / 2));
    e->accept();
}

void MapWidget::keyPressEvent(QKeyEvent* e)
{
    const double stepX = width() / 8.0, stepY = height() / 8.0;
    switch (e->key()) {
    case Qt::Key_Left: PanBy(stepX, 0); break;
    case Qt::Key_Right: PanBy(-stepX, 0); break;
    case Qt::Key_Up: PanBy(0, stepY); break;
    case Qt::Key_Down: PanBy(0, -stepY); break;
    case Qt::Key_Escape: ClearSelection(); break;
    default: QWidget::keyPressEvent(e); return;
    }
    e->accept();
}

void MapWidget::leaveEvent(QEvent*) { emit readOutChanged(QString()); }

} // namespace kartivo::view::qt
