#pragma once
// Kartivo's picture: four map tiles with a location pin, drawn in code so the
// program needs no image files of its own. Used as the window icon and in
// the About window.
#include <QIcon>
#include <QPixmap>

namespace kartivo::ui {

QPixmap KartivoPicture(int size);
QIcon KartivoIcon();

} // namespace kartivo::ui
