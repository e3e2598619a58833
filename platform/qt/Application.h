#pragma once
// Kartivo's QApplication: sets the application title and routes any
// exception that reaches event delivery into the standard error box, the
// last line of defence behind the guard every handler runs in.
#include <QApplication>

namespace kartivo::platform::qt {

class KartivoApplication : public QApplication {
public:
    KartivoApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

} // namespace kartivo::platform::qt
