// Kartivo's entry point: the application with its title, the Qt dialogs and
// main-thread dispatcher behind the platform interfaces, the five windows
// created once in their fixed order, and the event loop.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "platform/Dialogs.h"
#include "platform/Threads.h"
#include "platform/qt/Application.h"
#include "platform/qt/EventGuard.h"
#include "platform/qt/QtDialogs.h"
#include "platform/qt/QtDispatcher.h"
#include "platform/qt/AppIcon.h"
#include "ui/Unit1.h"

int main(int argc, char** argv)
{
    kartivo::platform::qt::KartivoApplication app(argc, argv);
    kartivo::platform::qt::QtDialogs dialogs;
    kartivo::platform::SetDialogs(&dialogs);
    kartivo::platform::qt::QtMainDispatcher dispatcher;
    kartivo::platform::SetMainDispatcher(&dispatcher);
    QApplication::setWindowIcon(kartivo::platform::qt::KartivoIcon());

    try {
        // Created once, in this order, and kept until the program ends; the
        // main window comes first. Only it is shown.
        kartivo::ui::TForm1 form1(dispatcher);
        form1.CreateProgramWindows();
        form1.show();
        app.exec();

        if (form1.WorkersInFlight()) {
            // The window closed mid-download: positions, log and failed list
            // are saved and the workers told to stop. Their requests in
            // flight may take up to a time-out; do not wait for them, and do
            // not tear down what they might still touch.
            std::fflush(nullptr);
            std::quick_exit(0);
        }
    } catch (const std::exception& e) {
        kartivo::platform::qt::ShowException(e.what());
    } catch (...) {
        kartivo::platform::qt::ShowException("");
    }
    kartivo::platform::SetMainDispatcher(nullptr);
    kartivo::platform::SetDialogs(nullptr);
    return 0;
}
