// platejoin's entry point: with arguments, the command line (no display
// needed); without, as the main window's Tools menu starts it, the window.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "join/CommandLine.h"
#include "join/qt/TfrmJoin.h"
#include "platform/qt/Application.h"

namespace kartivo::join::qt {

namespace {

// Set by Ctrl+C or a kill; the combiner polls it and removes its temporary
// files before the program ends.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnSignal(int) { interrupted.store(true); }

int Run(int argc, char** argv)
{
    // A reader that goes away (platejoin ... | head -1) makes writes to the
    // closed stream fail; the run goes on and ends as it would.
    std::signal(SIGPIPE, SIG_IGN);
    // "--window [PROJECT]": the window, with the project open (how Kartivo's
    // Tools menu starts it); any other arguments: the command line.
    const bool window = argc == 1 || std::string(argv[1]) == "--window";
    if (!window) {
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGHUP, &action, nullptr);
        return join::RunCommandLine(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr,
                                    &interrupted);
    }
    const std::string project = argc > 2 ? argv[2] : "";
    platform::qt::WindowProgram program;
    program.Name = "platejoin";
    program.MakeWindow = [&project](platform::qt::QtMainDispatcher&) {
        auto window = std::make_unique<TfrmJoin>();
        window->show();
        if (!project.empty())
            window->OpenProject(project);
        return std::unique_ptr<QWidget>(std::move(window));
    };
    return platform::qt::RunWindowProgram(argc, argv, program);
}

} // namespace

} // namespace kartivo::join::qt

int main(int argc, char** argv) { return kartivo::join::qt::Run(argc, argv); }
