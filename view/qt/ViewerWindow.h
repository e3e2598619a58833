#pragma once
// plateview's main window: the map, a status bar with the read-out under
// the cursor and the scale, and the menus: File (open, recent projects,
// export view), Edit (copy the selection's coordinates) and View (fit,
// zoom, overlays). Slots stay thin: the map widget and the view library do
// the work.
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <string>

#include "view/RecentList.h"
#include "view/qt/MapWidget.h"

namespace kartivo::view::qt {

class TfrmMapViewer : public QMainWindow {
    Q_OBJECT
public:
    explicit TfrmMapViewer(QWidget* parent = nullptr);

    // Opens a project; a refusal is shown in a message box and the window
    // keeps what it showed. True when the project is now shown.
    bool OpenProject(const std::string& path);
    // Saves what the view shows as PNG (`width` > 0: the same area at that
    // width), with a world file, .prj and .aux.xml beside it that place it
    // on Earth; a refusal is shown in a message box.
    bool ExportView(const std::string& path, int width = 0);
    // Puts the selection's four coordinates on the clipboard.
    void CopyCoordinates();
    // Puts the longitude,latitude under the cursor on the clipboard.
    void CopyPosition();
    // Centres the view on what `text` names (see ParseGoTo); a refusal is
    // shown in a message box.
    bool GoTo(const std::string& text);
    // The status bar's scale text.
    QString ScaleText() const { return scale_->text(); }

    MapWidget* Map() { return map_; }
    QMenu* RecentMenu() { return recentMenu_; }
    QAction* CopyAction() { return copyAction_; }
    QAction* ExportAction() { return exportAction_; }
    QLabel* ReadOutLabel() { return readOut_; }
    QLabel* NoteLabel() { return building_; }

private:
    void OpenClick();
    void GoToClick();
    void ExportClick();
    void FillRecentMenu();
    void ShowScale();
    void ProjectChanged();

    MapWidget* map_;
    QLabel* readOut_;
    QLabel* scale_;
    QLabel* building_;
    QMenu* recentMenu_ = nullptr;
    QAction* exportAction_ = nullptr;
    QAction* copyAction_ = nullptr;
    RecentList recent_;
};

} // namespace kartivo::view::qt
