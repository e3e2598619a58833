#pragma once
// How the three programs start and end as windows: Kartivo's QApplication
// (title, and the last guard against exceptions in event delivery), and one
// launcher that sets up dialogs, dispatcher and icon around the main window.
#include <QApplication>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

namespace kartivo::platform::qt {

class QtMainDispatcher;

class KartivoApplication : public QApplication {
public:
    KartivoApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// What the launcher needs to know of a program.
struct WindowProgram {
    // The program's name ("plateview"): each line it writes to standard
    // error begins with it.
    std::string Name;
    // Added to the message shown when there is no display: what works
    // without one ("--render draws a picture without one"); may be empty.
    std::string NoDisplayHint;
    // Builds the main window and shows it. The dispatcher runs the workers'
    // Synchronize calls and is shut down when the event loop ends.
    std::function<std::unique_ptr<QWidget>(QtMainDispatcher&)> MakeWindow;
    // Whether work the window started still runs once its event loop has
    // ended (the window asked it to stop on closing); none when empty.
    std::function<bool(QWidget&)> WorkInFlight;
};

// Runs a program whose main window MakeWindow builds:
// - without a display, one line "<name>: <message>" on standard error and 1;
// - the application, Qt dialogs, main-thread dispatcher and window icon,
//   then the window and the event loop;
// - an exception escaping the window's making or the loop goes to the
//   standard error box, and the program ends with 1;
// - when the loop ends, work the window left running gets at most
//   BackgroundJob::kStopWait to end. Work still running then (the window's,
//   or background jobs left behind) is not torn down under: the program
//   ends at once with quick_exit. Otherwise the window goes before the
//   dialogs and the dispatcher.
// Returns the event loop's status.
int RunWindowProgram(int& argc, char** argv, const WindowProgram& program);

// Why no window can be shown, or "" when one can: neither DISPLAY nor
// WAYLAND_DISPLAY is set and the Qt platform chosen (QT_QPA_PLATFORM) is
// X11 or Wayland, or none. Qt would abort there with a message of its own.
std::string MissingDisplay(const char* display, const char* waylandDisplay, const char* qpaPlatform);

} // namespace kartivo::platform::qt
