// plateview: Kartivo's map viewer. With a project path it opens that
// project, with none an empty window (as Kartivo's Tools menu starts it);
// --render draws a view headless into a PNG file and exits.
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt/Application.h"
#include "view/CommandLine.h"
#include "view/qt/HeadlessRender.h"
#include "view/qt/ViewerWindow.h"

namespace kartivo::view::qt {

namespace {

int Run(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    ViewerCommand cmd;
    std::string error;
    if (!ParseViewerCommand(args, cmd, error)) {
        std::fprintf(stderr, "plateview: %s\n", error.c_str());
        return 2;
    }
    if (cmd.Kind == ViewerCommand::Mode::Help) {
        std::fputs(ViewerUsage(), stdout);
        return 0;
    }
    if (cmd.Kind == ViewerCommand::Mode::Render) {
        // Drawing needs no screen: without a platform chosen, use none.
        if (!std::getenv("QT_QPA_PLATFORM"))
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // The outcome is one line of our own; Qt's notes about the missing
        // desktop session would only bury it.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                std::fprintf(stderr, "plateview: %s\n", qPrintable(msg));
        });
        QGuiApplication app(argc, argv);
        const RenderOutcome outcome = RenderProject(cmd, error, stderr);
        if (outcome != RenderOutcome::Written)
            std::fprintf(stderr, "plateview: %s\n", error.c_str());
        // The picture is written and closed; the application's teardown only
        // sets up the font database to take it down again (a third of a
        // second on a cold start), so leave at once.
        std::fflush(nullptr);
        std::_Exit(static_cast<int>(outcome));
    }

    platform::qt::WindowProgram program;
    program.Name = "plateview";
    program.NoDisplayHint = "--render draws a picture without one";
    program.MakeWindow = [&cmd](platform::qt::QtMainDispatcher&) {
        auto window = std::make_unique<TfrmMapViewer>();
        window->show();
        if (!cmd.Project.empty())
            window->OpenProject(cmd.Project);
        return std::unique_ptr<QWidget>(std::move(window));
    };
    return platform::qt::RunWindowProgram(argc, argv, program);
}

} // namespace

} // namespace kartivo::view::qt

int main(int argc, char** argv) { return kartivo::view::qt::Run(argc, argv); }
