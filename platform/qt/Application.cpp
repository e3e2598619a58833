#include "platform/qt/Application.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

#include "platform/Dialogs.h"
#include "platform/Threads.h"
#include "platform/qt/AppIcon.h"
#include "platform/qt/BackgroundJob.h"
#include "platform/qt/EventGuard.h"
#include "platform/qt/QtDialogs.h"
#include "platform/qt/QtDispatcher.h"

namespace kartivo::platform::qt {

namespace {

// Waits at most `bound` for the window's work to end; true when it has.
bool WorkEnded(const WindowProgram& program, QWidget& window, std::chrono::milliseconds bound)
{
    if (!program.WorkInFlight)
        return true;
    // The workers know no condition to signal; their end is looked at every
    // few milliseconds, on a program that is only closing.
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (program.WorkInFlight(window)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

[[noreturn]] void LeaveAtOnce(int status)
{
    // Work still runs that may touch what a normal exit would destroy.
    std::fflush(nullptr);
    std::quick_exit(status);
}

} // namespace

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

std::string MissingDisplay(const char* display, const char* waylandDisplay, const char* qpaPlatform)
{
    auto named = [](const char* v) { return v && *v; };
    if (named(display) || named(waylandDisplay))
        return std::string();
    if (named(qpaPlatform)) {
        // "name[:options]", alternatives separated by ';': any platform other
        // than X11 or Wayland (offscreen, vnc, eglfs, ...) needs no display.
        const std::string platforms = qpaPlatform;
        std::size_t start = 0;
        while (start <= platforms.size()) {
            std::size_t end = platforms.find(';', start);
            if (end == std::string::npos)
                end = platforms.size();
            const std::string entry = platforms.substr(start, end - start);
            const std::string name = entry.substr(0, entry.find(':'));
            if (!name.empty() && name != "xcb" && name.rfind("wayland", 0) != 0)
                return std::string();
            start = end + 1;
        }
    }
    return "There is no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY is set)";
}

int RunWindowProgram(int& argc, char** argv, const WindowProgram& program)
{
    const std::string noDisplay = MissingDisplay(std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"),
                                                 std::getenv("QT_QPA_PLATFORM"));
    if (!noDisplay.empty()) {
        const std::string hint = program.NoDisplayHint.empty() ? "." : "; " + program.NoDisplayHint + ".";
        std::fprintf(stderr, "%s: %s%s\n", program.Name.c_str(), noDisplay.c_str(), hint.c_str());
        return 1;
    }

    KartivoApplication app(argc, argv);
    QtDialogs dialogs;
    SetDialogs(&dialogs);
    QtMainDispatcher dispatcher;
    SetMainDispatcher(&dispatcher);
    QApplication::setWindowIcon(KartivoIcon());

    int status = 0;
    try {
        std::unique_ptr<QWidget> window = program.MakeWindow(dispatcher);
        status = app.exec();
        // No worker may wait for a main thread that no longer runs the loop.
        dispatcher.Shutdown();
        if (!WorkEnded(program, *window, BackgroundJob::kStopWait))
            LeaveAtOnce(status);
        window.reset(); // its background jobs are stopped and waited for
        if (BackgroundJob::LeftBehind() > 0)
            LeaveAtOnce(status);
    } catch (const std::exception& e) {
        ShowException(e.what());
        status = 1;
    } catch (...) {
        ShowException("");
        status = 1;
    }
    SetMainDispatcher(nullptr);
    SetDialogs(nullptr);
    return status;
}

} // namespace kartivo::platform::qt
