#pragma once
// What part of the map a view shows: the map pixel at its centre, its scale
// (screen pixels per tile pixel: 1 shows the tiles' own pixels) and its size
// on screen. Panning, zooming about a point, fitting the task, and the
// pyramid level a frame is drawn from.
#include "view/MapGrid.h"

namespace kartivo::view {

struct ScreenPoint {
    double X = 0, Y = 0;
};

class Viewport {
public:
    // The scale never leaves [MinScale(grid), kMaxScale]: from the whole task
    // on a quarter of the view down to tile pixels magnified 32 times.
    static constexpr double kMaxScale = 32.0;

    Viewport() = default;
    Viewport(int width, int height) : width_(width), height_(height) {}

    int Width() const { return width_; }
    int Height() const { return height_; }
    double Scale() const { return scale_; }
    MapPoint Center() const { return center_; }

    void Resize(int width, int height);
    void SetCenter(MapPoint center) { center_ = center; }
    // Sets the scale held within the limits for `grid`.
    void SetScale(double scale, const MapGrid& grid);
    // The whole task fills the view, centred.
    void Fit(const MapGrid& grid);
    // The map rectangle fills the view, centred, within the scale limits.
    void FitRect(const MapRect& rect, const MapGrid& grid);
    // Sets the scale exactly, without the limits (a band of a larger view).
    void SetExactScale(double scale) { scale_ = scale; }
    static double MinScale(const MapGrid& grid, int width, int height);

    MapPoint ScreenToMap(ScreenPoint s) const;
    ScreenPoint MapToScreen(MapPoint m) const;
    MapRect VisibleMap() const;

    // Moves the map by screen pixels (a drag to the right shows what lies west).
    void Pan(double dx, double dy);
    // Multiplies the scale by `factor`, keeping the map point under `anchor` still.
    void ZoomAbout(ScreenPoint anchor, double factor, const MapGrid& grid);

    // The pyramid level drawn at this scale: the one whose images are shown
    // nearest to their own size, from 0 (tiles) to the grid's coarsest.
    int Level(const MapGrid& grid) const;

private:
    int width_ = 1, height_ = 1;
    double scale_ = 1.0;
    MapPoint center_;
};

} // namespace kartivo::view
