#include "platform/qt/Application.h"

#include "platform/qt/EventGuard.h"
#include "platform/qt/QtDialogs.h"

namespace kartivo::platform::qt {

KartivoApplication::KartivoApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    // Only the name: a display name would be appended to every window title
    // by the X11 platform ("Kartivo 7.21 — Kartivo").
    setApplicationName(kApplicationTitle);
}

bool KartivoApplication::notify(QObject* receiver, QEvent* event)
{
    bool handled = false;
    RunGuarded([&] { handled = QApplication::notify(receiver, event); });
    return handled;
}

} // namespace kartivo::platform::qt
