#include "platform/qt/Application.h"

#include "platform/Dialogs.h"
#include "platform/qt/EventGuard.h"
#include "platform/qt/QtDialogs.h"

namespace kartivo::platform::qt {

KartivoApplication::KartivoApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    // Only the name: a display name would be appended to every window title
    // by the X11 platform ("Kartivo 7.21 — Kartivo").
    setApplicationName(kApplicationTitle);
}

int RunWindowProgram(int& argc, char** argv, const std::function<std::unique_ptr<QWidget>()>& makeWindow)
{
    KartivoApplication app(argc, argv);
    QtDialogs dialogs;
    SetDialogs(&dialogs);
    int status = 0;
    {
        const std::unique_ptr<QWidget> window = makeWindow();
        status = app.exec();
    }
    SetDialogs(nullptr);
    return status;
}

bool KartivoApplication::notify(QObject* receiver, QEvent* event)
{
    bool handled = false;
    RunGuarded([&] { handled = QApplication::notify(receiver, event); });
    return handled;
}

} // namespace kartivo::platform::qt
