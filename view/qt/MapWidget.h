#pragma once
// The map area of the viewer window: paints the open project through the
// renderer, pans with a drag or the arrow keys, zooms about the cursor with
// the wheel, selects a rectangle with Shift+drag or a right-button drag, and
// reports the read-out under the cursor. Knows nothing of menus or files.
#include <QWidget>
#include <memory>
#include <optional>

#include "task/SavedProject.h"
#include "view/CommandLine.h"
#include "view/ReadOut.h"
#include "view/Viewport.h"
#include "view/qt/MapRenderer.h"

namespace kartivo::view::qt {

class MapWidget : public QWidget {
    Q_OBJECT
public:
    explicit MapWidget(QWidget* parent = nullptr);
    ~MapWidget() override;

    // Shows the project (fitted to the view), or nothing when null.
    void SetProject(std::unique_ptr<task::SavedProject> project);
    const task::SavedProject* Project() const { return project_.get(); }
    MapRenderer* Renderer() { return renderer_.get(); }

    const Viewport& View() const { return view_; }
    Overlays& Shown() { return overlays_; }
    void SetOverlays(const Overlays& overlays);

    void FitToArea();
    void ZoomBy(double factor);             // about the middle of the view
    void ZoomAt(QPointF at, double factor); // about a point of the widget
    void ShowActualPixels();                // scale 1, same centre
    void PanBy(double dx, double dy);
    void CenterOn(double lon, double lat);
    void CenterOnMap(MapPoint p);
    void ZoomToSelection(); // the selection fills the view
    void Reload();          // reads every tile in sight again

    // The selection in map pixels, if any.
    bool HasSelection() const { return selection_.has_value(); }
    AreaDegrees SelectionDegrees() const;
    void SetSelection(MapPoint a, MapPoint b);
    void ClearSelection();

    // The status line for a point of the widget (tile state read from disk).
    QString ReadOutAt(QPointF at) const;
    // The longitude and latitude under the cursor (last seen over the map);
    // empty when there is no project or the cursor never came.
    std::string PositionUnderCursor() const;
    // The view as it is now, every image loaded, without the selection;
    // `width` > 0 draws the same area that many pixels wide. `drawn`, when
    // given, receives the view drawn (for its place on Earth).
    QImage RenderView(int width = 0, Viewport* drawn = nullptr);
    // True when the last frame showed every image it needed.
    bool LastFrameComplete() const { return complete_; }

signals:
    void readOutChanged(const QString& text);
    void viewChanged();
    void selectionChanged(bool present);
    // The note on what the frame still waits for changed: tiles loading or
    // an overview being built (empty: the frame is whole).
    void noteChanged(const QString& note);

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;
    void wheelEvent(QWheelEvent*) override;
    void keyPressEvent(QKeyEvent*) override;
    void leaveEvent(QEvent*) override;

private:
    void TilesReady();
    void Changed();

    std::unique_ptr<task::SavedProject> project_;
    std::unique_ptr<MapRenderer> renderer_; // after project_: goes first
    Viewport view_;
    Overlays overlays_;
    bool fitPending_ = false;
    bool complete_ = true;
    QString note_;

    enum class Drag { None, Pan, Select } drag_ = Drag::None;
    QPointF lastMouse_;
    bool mouseSeen_ = false;
    std::optional<std::pair<MapPoint, MapPoint>> selection_;

    // The state of the tile last read out, so moving within a tile reads nothing again.
    mutable int stateX_ = 0, stateY_ = 0;
    mutable std::string stateText_;
};

} // namespace kartivo::view::qt
