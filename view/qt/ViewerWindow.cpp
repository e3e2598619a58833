#include "view/qt/ViewerWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QInputDialog>
#include <QMenuBar>
#include <QStatusBar>

#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Settings.h"
#include "platform/qt/AppIcon.h"
#include "platform/qt/EventGuard.h"
#include "platform/qt/QtText.h"
#include "view/GeoExport.h"
#include "view/MapScale.h"
#include "view/OutputFile.h"
#include "view/qt/HeadlessRender.h"

namespace kartivo::view::qt {

using platform::qt::FromQ;
using platform::qt::RunGuarded;
using platform::qt::ToQ;

namespace {
constexpr const char* kTitle = "Kartivo Map Viewer";
}

TfrmMapViewer::TfrmMapViewer(QWidget* parent)
    : QMainWindow(parent), map_(new MapWidget(this)), readOut_(new QLabel(this)), scale_(new QLabel(this)),
      building_(new QLabel(this)), recent_(platform::SettingsFileName())
{
    setWindowTitle(kTitle);
    setWindowIcon(platform::qt::KartivoIcon());
    resize(1100, 760);
    platform::qt::CenterOnDesktop(this);
    setCentralWidget(map_);
    statusBar()->addWidget(readOut_, 1);
    statusBar()->addPermanentWidget(building_);
    statusBar()->addPermanentWidget(scale_);
    readOut_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    QMenu* file = menuBar()->addMenu("&File");
    file->addAction("&Open...", QKeySequence::Open, this, [this] { RunGuarded([&] { OpenClick(); }); });
    recentMenu_ = file->addMenu("Open &Recent");
    exportAction_ = file->addAction("&Export view...", QKeySequence(Qt::CTRL | Qt::Key_E), this,
                                    [this] { RunGuarded([&] { ExportClick(); }); });
    file->addSeparator();
    file->addAction("&Close project", QKeySequence::Close, this, [this] {
        map_->SetProject(nullptr);
        ProjectChanged();
    });
    file->addAction("&Quit", QKeySequence::Quit, this, &QWidget::close);

    QMenu* edit = menuBar()->addMenu("&Edit");
    copyAction_ = edit->addAction("&Copy coordinates", QKeySequence::Copy, this,
                                  [this] { RunGuarded([&] { CopyCoordinates(); }); });
    copyAction_->setEnabled(false);
    edit->addAction("Clear &selection", this, [this] { map_->ClearSelection(); });
    edit->addAction("Copy &position under cursor", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C), this,
                    [this] { RunGuarded([&] { CopyPosition(); }); });
    edit->addSeparator();
    edit->addAction("&Go to...", QKeySequence(Qt::CTRL | Qt::Key_G), this,
                    [this] { RunGuarded([&] { GoToClick(); }); });

    QMenu* view = menuBar()->addMenu("&View");
    view->addAction("&Fit to area", QKeySequence(Qt::CTRL | Qt::Key_0), this, [this] { map_->FitToArea(); });
    view->addAction("Zoom &in", QKeySequence::ZoomIn, this, [this] { map_->ZoomBy(2.0); });
    view->addAction("Zoom &out", QKeySequence::ZoomOut, this, [this] { map_->ZoomBy(0.5); });
    view->addAction("Zoom to &selection", QKeySequence(Qt::Key_Z), this, [this] { map_->ZoomToSelection(); });
    view->addAction("&Actual pixels", QKeySequence(Qt::CTRL | Qt::Key_1), this,
                    [this] { map_->ShowActualPixels(); });
    view->addAction("&Reload tiles", QKeySequence::Refresh, this, [this] { map_->Reload(); });
    view->addSeparator();
    auto toggle = [&](const char* text, QKeySequence key, bool Overlays::*field) {
        QAction* a = view->addAction(text);
        a->setShortcut(key);
        a->setCheckable(true);
        a->setChecked(map_->Shown().*field);
        connect(a, &QAction::toggled, this, [this, field](bool on) {
            Overlays o = map_->Shown();
            o.*field = on;
            map_->SetOverlays(o);
        });
    };
    toggle("Tile &grid", QKeySequence(Qt::Key_G), &Overlays::Grid);
    toggle("Requested a&rea", QKeySequence(Qt::Key_A), &Overlays::Area);
    toggle("&Missing and failed tiles", QKeySequence(Qt::Key_M), &Overlays::Marks);
    toggle("Gr&aticule (longitude, latitude)", QKeySequence(Qt::Key_L), &Overlays::Graticule);

    connect(map_, &MapWidget::readOutChanged, readOut_, &QLabel::setText);
    connect(map_, &MapWidget::viewChanged, this, &TfrmMapViewer::ShowScale);
    connect(map_, &MapWidget::noteChanged, building_, &QLabel::setText);
    connect(map_, &MapWidget::selectionChanged, copyAction_, &QAction::setEnabled);
    FillRecentMenu();
    ProjectChanged();
}

bool TfrmMapViewer::OpenProject(const std::string& path)
{
    std::string error;
    std::unique_ptr<task::SavedProject> project = OpenViewerProject(path, error);
    if (!project) {
        platform::Dialogs().ShowMessage(error);
        return false;
    }
    // A project without its tiles still opens: its area and failed tiles show.
    const std::string problem = TileFolderProblem(*project);
    map_->SetProject(std::move(project));
    ProjectChanged();
    try {
        recent_.Add(path);
    } catch (const std::exception&) {
        // A settings file that cannot be written costs only the recent list.
    }
    FillRecentMenu();
    if (!problem.empty())
        platform::Dialogs().ShowMessage(problem + " Its tiles are shown as missing.");
    return true;
}

void TfrmMapViewer::ProjectChanged()
{
    const task::SavedProject* p = map_->Project();
    exportAction_->setEnabled(p != nullptr);
    copyAction_->setEnabled(map_->HasSelection());
    readOut_->clear();
    if (!p) {
        setWindowTitle(kTitle);
    } else {
        const task::KvTask& t = p->Task();
        setWindowTitle(ToQ(t.ProjectFile()) + " - " + kTitle);
        readOut_->setText(ToQ(TaskSummary(t)));
    }
    ShowScale();
}

void TfrmMapViewer::ShowScale()
{
    if (!map_->Project()) {
        scale_->clear();
        return;
    }
    // Ground distance, not a ratio of pixels: what a screen pixel measures
    // at the view's centre, and how large the tiles' own pixels are drawn.
    const double s = map_->View().Scale();
    const std::string metres = LengthText(MetresPerScreenPixel(map_->Renderer()->Grid(), map_->View()));
    scale_->setText(QString("1 px = %1   tiles at %2 %").arg(ToQ(metres)).arg(s * 100, 0, 'g', 3));
}

void TfrmMapViewer::OpenClick()
{
    if (auto path = platform::ChooseProject("Open project", SaveFolder(platform::SettingsFileName())))
        OpenProject(*path);
}

void TfrmMapViewer::FillRecentMenu()
{
    recentMenu_->clear();
    const std::vector<std::string> paths = recent_.Load();
    for (const std::string& path : paths) {
        recentMenu_->addAction(ToQ(path), this, [this, path] {
            RunGuarded([&] {
                if (!platform::FileExists(path)) {
                    platform::Dialogs().ShowMessage("The project file " + path + " does not exist.");
                    recent_.Remove(path);
                    FillRecentMenu();
                    return;
                }
                OpenProject(path);
            });
        });
    }
    if (paths.empty()) {
        recentMenu_->addAction("(none)")->setEnabled(false);
        return;
    }
    recentMenu_->addSeparator();
    recentMenu_->addAction("Clear list", this, [this] {
        RunGuarded([&] {
            recent_.Clear();
            FillRecentMenu();
        });
    });
}

bool TfrmMapViewer::ExportView(const std::string& path, int width)
{
    Viewport drawn;
    const std::string png = EncodePng(map_->RenderView(width, &drawn));
    std::string error = "Cannot create file " + path;
    if (png.empty() || !WriteOutputFile(path, png, error)) {
        platform::Dialogs().ShowMessage(error);
        return false;
    }
    // Side files only beside a file: a picture sent down a pipe has none.
    if (!platform::FileExists(path))
        return true;
    for (const auto& [side, text] : GeoSideFiles(path, map_->Renderer()->Grid(), drawn))
        if (!WriteOutputFile(side, text, error)) {
            platform::Dialogs().ShowMessage(error);
            return false;
        }
    return true;
}

void TfrmMapViewer::ExportClick()
{
    if (!map_->Project())
        return;
    platform::SaveFileRequest request;
    request.title = "Export view";
    request.filterDescription = "PNG images";
    request.filterPattern = "*.png";
    request.extension = ".png";
    const std::optional<std::string> path = platform::ChooseSaveFile(request);
    if (!path)
        return;
    bool ok = false;
    const int width = QInputDialog::getInt(this, "Export view",
                                           "Width of the picture in pixels (the same area):", map_->width(),
                                           16, kMaxRenderSide, 1, &ok);
    if (ok)
        ExportView(*path, width);
}

void TfrmMapViewer::CopyCoordinates()
{
    if (!map_->HasSelection())
        return;
    QApplication::clipboard()->setText(ToQ(SelectionText(map_->SelectionDegrees())));
    statusBar()->showMessage("Coordinates copied: left, right longitude, top, bottom latitude.", 4000);
}

void TfrmMapViewer::CopyPosition()
{
    const std::string position = map_->PositionUnderCursor();
    if (position.empty())
        return;
    QApplication::clipboard()->setText(ToQ(position));
    statusBar()->showMessage(ToQ("Position copied: " + position + " (longitude,latitude)."), 4000);
}

bool TfrmMapViewer::GoTo(const std::string& text)
{
    if (!map_->Renderer())
        return false;
    MapPoint target;
    std::string error;
    if (!ParseGoTo(text, map_->Renderer()->Grid(), target, error)) {
        platform::Dialogs().ShowMessage(error);
        return false;
    }
    map_->CenterOnMap(target);
    return true;
}

void TfrmMapViewer::GoToClick()
{
    if (!map_->Renderer())
        return;
    bool ok = false;
    const QString text = QInputDialog::getText(
        this, "Go to", "Longitude,latitude in decimal degrees, or a tile's column/row:", QLineEdit::Normal,
        ToQ(map_->PositionUnderCursor()), &ok);
    if (ok && !text.trimmed().isEmpty())
        GoTo(FromQ(text));
}

} // namespace kartivo::view::qt
