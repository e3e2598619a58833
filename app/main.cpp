// Kartivo's entry point: the main window, which creates the other four
// windows once in their fixed order, run by the shared launcher. Closing it
// mid-download asks the workers to stop; the launcher gives them a bounded
// time before the program ends.
#include <memory>

#include "platform/qt/Application.h"
#include "ui/qt/Unit1.h"

int main(int argc, char** argv)
{
    using kartivo::platform::qt::QtMainDispatcher;
    using kartivo::ui::TForm1;
    kartivo::platform::qt::WindowProgram program;
    program.Name = "kartivo";
    program.MakeWindow = [](QtMainDispatcher& dispatcher) {
        // Created once, in this order, and kept until the program ends; the
        // main window comes first. Only it is shown.
        auto form1 = std::make_unique<TForm1>(dispatcher);
        form1->CreateProgramWindows();
        form1->show();
        return std::unique_ptr<QWidget>(std::move(form1));
    };
    // The window closed mid-download: positions, log and failed list are
    // saved and the workers told to stop; their requests in flight may take
    // up to a time-out.
    program.WorkInFlight = [](QWidget& window) { return static_cast<TForm1&>(window).WorkersInFlight(); };
    return kartivo::platform::qt::RunWindowProgram(argc, argv, program);
}
