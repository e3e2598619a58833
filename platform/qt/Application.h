#pragma once
// Kartivo's QApplication: sets the application title and routes any
// exception that reaches event delivery into the standard error box, the
// last line of defence behind the guard every handler runs in.
#include <QApplication>
#include <QWidget>

#include <functional>
#include <memory>

namespace kartivo::platform::qt {

class KartivoApplication : public QApplication {
public:
    KartivoApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Runs a tool whose only window is built by `makeWindow` (which also shows
// it): the application and Qt message boxes first, then the window and the
// event loop; the window is gone before the message boxes are taken down.
// Returns the event loop's status.
int RunWindowProgram(int& argc, char** argv, const std::function<std::unique_ptr<QWidget>()>& makeWindow);

} // namespace kartivo::platform::qt
