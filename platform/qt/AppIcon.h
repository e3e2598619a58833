#pragma once
// Kartivo's picture: four map tiles with a location pin, drawn in code so the
// program needs no image files of its own. Used as the window icon and in
// the About window, shared by Kartivo and its sibling programs.
#include <QIcon>
#include <QPixmap>

class QWidget;

namespace kartivo::platform::qt {

QPixmap KartivoPicture(int size);
QIcon KartivoIcon();

// Moves a window (its frame included) to the middle of the primary screen.
void CenterOnDesktop(QWidget* window);

} // namespace kartivo::platform::qt
