#include "view/Viewport.h"

#include <algorithm>
#include <cmath>

namespace kartivo::view {

void Viewport::Resize(int width, int height)
{
    width_ = std::max(1, width);
    height_ = std::max(1, height);
}

double Viewport::MinScale(const MapGrid& grid, int width, int height)
{
    const double fit = std::min(width / grid.Width(), height / grid.Height());
    return std::min(fit / 4, 1.0);
}

void Viewport::SetScale(double scale, const MapGrid& grid)
{
    if (!std::isfinite(scale) || scale <= 0)
        return;
    scale_ = std::clamp(scale, MinScale(grid, width_, height_), kMaxScale);
}

void Viewport::Fit(const MapGrid& grid)
{
    center_ = {grid.Width() / 2, grid.Height() / 2};
    SetScale(std::min(width_ / grid.Width(), height_ / grid.Height()), grid);
}

void Viewport::FitRect(const MapRect& rect, const MapGrid& grid)
{
    const double w = std::fabs(rect.Right - rect.Left), h = std::fabs(rect.Bottom - rect.Top);
    center_ = {(rect.Left + rect.Right) / 2, (rect.Top + rect.Bottom) / 2};
    if (w > 0 && h > 0)
        SetScale(std::min(width_ / w, height_ / h), grid);
}

MapPoint Viewport::ScreenToMap(ScreenPoint s) const
{
    return {center_.X + (s.X - width_ / 2.0) / scale_, center_.Y + (s.Y - height_ / 2.0) / scale_};
}

ScreenPoint Viewport::MapToScreen(MapPoint m) const
{
    return {(m.X - center_.X) * scale_ + width_ / 2.0, (m.Y - center_.Y) * scale_ + height_ / 2.0};
}

MapRect Viewport::VisibleMap() const
{
    const MapPoint a = ScreenToMap({0, 0});
    const MapPoint b = ScreenToMap({double(width_), double(height_)});
    return {a.X, a.Y, b.X, b.Y};
}

void Viewport::Pan(double dx, double dy)
{
    center_.X -= dx / scale_;
    center_.Y -= dy / scale_;
}

void Viewport::ZoomAbout(ScreenPoint anchor, double factor, const MapGrid& grid)
{
    const MapPoint fixed = ScreenToMap(anchor);
    SetScale(scale_ * factor, grid);
    // Put the anchored map point back under the anchor.
    center_.X = fixed.X - (anchor.X - width_ / 2.0) / scale_;
    center_.Y = fixed.Y - (anchor.Y - height_ / 2.0) / scale_;
}

int Viewport::Level(const MapGrid& grid) const
{
    const int level = static_cast<int>(std::lround(std::log2(1.0 / scale_)));
    return std::clamp(level, 0, grid.MaxLevel());
}

} // namespace kartivo::view
