// The viewer window with a synthetic project: opening good and bad files,
// the read-out under the cursor, zooming about the cursor and dragging,
// frames that never wait for the disk, copying a selection, exporting the
// view, and the recent list.
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>
#include <QWheelEvent>
#include <filesystem>

#include "platform/IniFile.h"
#include "platform/Settings.h"
#include "tests/view/ViewFixture.h"
#include "view/qt/ViewerWindow.h"

namespace kartivo::view {

using testing::Near;

namespace {

using testing::SyntheticTask;

// Pumps events until the condition holds; false after 20 seconds.
template <class Condition> bool WaitFor(Condition done)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > 20000)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

class ViewerWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramFolderForTests(programDir.Path());
        std::filesystem::create_directory(programDir / "ini");
        // The blank images come from beside the real program.
        std::filesystem::copy(realBlanks, programDir / "blankimg", std::filesystem::copy_options::recursive);
    }
    void TearDown() override
    {
        // Also after a failed assertion left a test's own recorder installed.
        platform::SetDialogs(nullptr);
        platform::SetProgramFolderForTests("");
    }

    // The map point of a fractional column and row edge of the task.
    static QPointF ScreenOf(qt::TfrmMapViewer& w, double ex, double ey)
    {
        const MapGrid& g = w.Map()->Renderer()->Grid();
        const MapPoint m{(ex - g.Xmin()) * g.TileWidth(), (g.Ymax() + 1 - ey) * g.TileHeight()};
        const ScreenPoint s = w.Map()->View().MapToScreen(m);
        return QPointF(s.X, s.Y);
    }

    // A window of the given size, shown, with the task's project open.
    static std::unique_ptr<qt::TfrmMapViewer> Show(const SyntheticTask& t, int width, int height)
    {
        auto w = std::make_unique<qt::TfrmMapViewer>();
        w->resize(width, height);
        w->show();
        EXPECT_TRUE(w->OpenProject(t.ProjectPath()));
        return w;
    }

    const std::string realBlanks = platform::ProgramFolder() + "blankimg"; // before SetUp
    testing::TempFolder programDir;
};

TEST_F(ViewerWindowTest, ReadOutNamesTileAndStateUnderTheCursor)
{
    SyntheticTask t({200, 203, 300, 300, 10, 5});
    platform::RecordingDialogs dialogs;
    t.WriteAllTiles();
    t.MakeBlank(201, 300);
    t.Remove(202, 300);
    t.Fail({{203, 300}});
    platform::SetDialogs(&dialogs);
    {
        auto window = Show(t, 1100, 500);
        qt::TfrmMapViewer& w = *window;
        EXPECT_TRUE(dialogs.messages.empty());
        const std::pair<int, const char*> rows[] = {
            {200, "saved"}, {201, "blank substitute"}, {202, "missing"}, {203, "in the failed list"}};
        for (auto [x, state] : rows) {
            const QString text = w.Map()->ReadOutAt(ScreenOf(w, x + 0.5, 300.5));
            const std::string name = t.Task().GetTileFileName(x, 300);
            EXPECT_TRUE(text.contains(QString::fromStdString(name))) << text.toStdString();
            EXPECT_TRUE(text.endsWith(QString("   ") + state)) << text.toStdString();
            EXPECT_TRUE(text.contains(QString("Column %1, row 300").arg(x))) << text.toStdString();
            // The coordinates are those of the tile's Mercator middle.
            const std::string lon = FormatDecimal(core::TileXToLon(x + 0.5, 10), 7);
            EXPECT_TRUE(text.startsWith(QString::fromStdString("Lon " + lon))) << text.toStdString();
        }
        // Beyond the task: coordinates only.
        EXPECT_FALSE(w.Map()->ReadOutAt(ScreenOf(w, 199.5, 300.5)).contains("Column"));
    }
    platform::SetDialogs(nullptr);
}

TEST_F(ViewerWindowTest, FramesNeverWaitAndFillIn)
{
    SyntheticTask t({0, 15, 0, 11, 6, 6});
    t.WriteAllTiles();
    auto window = Show(t, 900, 700);
    qt::TfrmMapViewer& w = *window;
    w.Map()->ShowActualPixels();
    w.Map()->grab(); // paints a frame now
    // The first frame at a new scale is drawn at once, without its images,
    // and the status bar says tiles are loading...
    EXPECT_FALSE(w.Map()->LastFrameComplete());
    EXPECT_EQ(w.NoteLabel()->text(), "Loading tiles...");
    // ...and the frames that follow fill in as the loader delivers.
    EXPECT_TRUE(WaitFor([&] {
        w.Map()->grab();
        return w.Map()->LastFrameComplete();
    }));
    EXPECT_TRUE(w.NoteLabel()->text().isEmpty());
}

// Tiles a running download adds show after Reload, not before: the cache
// keeps what it read.
TEST_F(ViewerWindowTest, ReloadReadsTilesThatArrivedSince)
{
    SyntheticTask t({20, 21, 20, 20, 6, 5});
    t.WriteTile(20, 20, t.ColourOf(20, 20));
    auto window = Show(t, 600, 400);
    qt::MapWidget* map = window->Map();
    const QPoint late = ScreenOf(*window, 21.3, 20.5).toPoint();
    EXPECT_FALSE(Near(map->RenderView().pixelColor(late), t.ColourOf(21, 20)));
    t.WriteTile(21, 20, t.ColourOf(21, 20));
    EXPECT_FALSE(Near(map->RenderView().pixelColor(late), t.ColourOf(21, 20)));
    map->Reload();
    EXPECT_TRUE(Near(map->RenderView().pixelColor(late), t.ColourOf(21, 20)));
}

TEST_F(ViewerWindowTest, WheelZoomsAboutTheCursorAndDragPans)
{
    SyntheticTask t({0, 7, 0, 7, 5, 21});
    auto window = Show(t, 800, 600);
    qt::TfrmMapViewer& w = *window;
    qt::MapWidget* map = w.Map();
    const QPointF cursor(200, 150);
    const MapPoint before = map->View().ScreenToMap({cursor.x(), cursor.y()});
    const double scale = map->View().Scale();
    QWheelEvent wheel(cursor, map->mapToGlobal(cursor), QPoint(), QPoint(0, 240), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(map, &wheel);
    EXPECT_DOUBLE_EQ(map->View().Scale(), scale * 2);
    const MapPoint after = map->View().ScreenToMap({cursor.x(), cursor.y()});
    EXPECT_NEAR(after.X, before.X, 1e-9);
    EXPECT_NEAR(after.Y, before.Y, 1e-9);

    const MapPoint centre = map->View().Center();
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(300, 300), map->mapToGlobal(QPointF(300, 300)),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent move(QEvent::MouseMove, QPointF(340, 280), map->mapToGlobal(QPointF(340, 280)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(340, 280), map->mapToGlobal(QPointF(340, 280)),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(map, &press);
    QApplication::sendEvent(map, &move);
    QApplication::sendEvent(map, &release);
    EXPECT_NEAR(map->View().Center().X, centre.X - 40 / map->View().Scale(), 1e-9);
    EXPECT_NEAR(map->View().Center().Y, centre.Y + 20 / map->View().Scale(), 1e-9);
    EXPECT_FALSE(map->HasSelection());
}

TEST_F(ViewerWindowTest, SelectionIsCopiedAsTheMainWindowAsksForIt)
{
    SyntheticTask t({100, 103, 100, 103, 8, 7});
    auto window = Show(t, 800, 600);
    qt::TfrmMapViewer& w = *window;
    qt::MapWidget* map = w.Map();
    EXPECT_FALSE(w.CopyAction()->isEnabled());
    // A right-button drag from inside tile (101, 102) to inside tile (102, 101).
    const QPointF a = ScreenOf(w, 101.25, 102.75), b = ScreenOf(w, 102.5, 101.5);
    QMouseEvent press(QEvent::MouseButtonPress, a, map->mapToGlobal(a), Qt::RightButton, Qt::RightButton,
                      Qt::NoModifier);
    QMouseEvent move(QEvent::MouseMove, b, map->mapToGlobal(b), Qt::NoButton, Qt::RightButton,
                     Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, b, map->mapToGlobal(b), Qt::RightButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(map, &press);
    QApplication::sendEvent(map, &move);
    QApplication::sendEvent(map, &release);
    ASSERT_TRUE(map->HasSelection());
    EXPECT_TRUE(w.CopyAction()->isEnabled());
    QApplication::clipboard()->clear();
    w.CopyAction()->trigger();
    const AreaDegrees area = map->SelectionDegrees();
    // The corners lie where they were dragged, within a pixel's width of degrees.
    const double pixel = (core::TileXToLon(101, 8) - core::TileXToLon(100, 8)) / (256 * map->View().Scale());
    EXPECT_NEAR(area.Left, core::TileXToLon(101.25, 8), pixel);
    EXPECT_NEAR(area.Right, core::TileXToLon(102.5, 8), pixel);
    EXPECT_NEAR(area.Top, core::TileYToLat(102.75, 8), pixel);
    EXPECT_NEAR(area.Bottom, core::TileYToLat(101.5, 8), pixel);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), SelectionText(area));
    // Escape drops it.
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(map, &esc);
    EXPECT_FALSE(map->HasSelection());
    EXPECT_FALSE(w.CopyAction()->isEnabled());
}

TEST_F(ViewerWindowTest, BadFilesAreRefusedWithAMessageAndNothingIsLost)
{
    platform::RecordingDialogs dialogs;
    SyntheticTask good({50, 51, 50, 51, 7, 5});
    platform::SetDialogs(&dialogs);
    good.WriteAllTiles();
    qt::TfrmMapViewer w;
    ASSERT_TRUE(w.OpenProject(good.ProjectPath()));

    testing::WriteBytes(good.Folder() + "notes.kvpd", "[AREA]\r\nLeftLongitude=abc\r\n");
    EXPECT_FALSE(w.OpenProject(good.Folder() + "notes.kvpd"));
    EXPECT_FALSE(w.OpenProject(good.Folder() + "gone.kvpd"));
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_NE(dialogs.messages[0].find("is not a Kartivo project file"), std::string::npos);
    EXPECT_NE(dialogs.messages[1].find("does not exist"), std::string::npos);
    // The project shown before is still shown.
    ASSERT_TRUE(w.Map()->Project());
    EXPECT_EQ(w.Map()->Project()->Task().ProjectFile(), good.ProjectPath());

    // A project whose tiles are gone opens, says so, and shows them missing.
    std::filesystem::remove_all(good.Task().TileFolder);
    EXPECT_TRUE(w.OpenProject(good.ProjectPath()));
    ASSERT_EQ(dialogs.messages.size(), 3u);
    EXPECT_EQ(dialogs.messages[2], "The tile folder " + good.Task().TileFolder +
                                       " of this project does not exist. Its tiles are shown as missing.");
    platform::SetDialogs(nullptr);
}

TEST_F(ViewerWindowTest, ExportAndRecentProjects)
{
    SyntheticTask t({60, 62, 60, 61, 7, 6});
    t.WriteAllTiles();
    auto window = Show(t, 700, 500);
    qt::TfrmMapViewer& w = *window;
    const std::string out = t.Folder() + "view.png";
    ASSERT_TRUE(w.ExportView(out));
    const QImage image(QString::fromStdString(out));
    EXPECT_EQ(image.size(), w.Map()->size());
    // Exported whole: the middle tile's colour at the middle of the view.
    const QPointF mid = ScreenOf(w, 61.5, 60.8);
    EXPECT_TRUE(Near(image.pixelColor(mid.toPoint()), t.ColourOf(61, 60)));

    // Placed on Earth: the world file's top left pixel centre is the view's,
    // in Web Mercator metres, beside a .prj and GDAL's .aux.xml.
    const std::string world = testing::ReadBytes(t.Folder() + "view.pgw");
    std::vector<double> v;
    for (std::size_t at = 0; at < world.size();) {
        const std::size_t end = world.find("\r\n", at);
        v.push_back(std::stod(world.substr(at, end - at)));
        at = end + 2;
    }
    ASSERT_EQ(v.size(), 6u) << world;
    const MapPoint corner = w.Map()->View().ScreenToMap({0.5, 0.5});
    const MapGrid& g = w.Map()->Renderer()->Grid();
    const LonLat ll = g.MapToLonLat(corner);
    const double R = 6378137.0;
    EXPECT_NEAR(v[4], ll.Lon * M_PI / 180 * R, 0.01);
    EXPECT_NEAR(v[5], std::log(std::tan(M_PI / 4 + ll.Lat * M_PI / 360)) * R, 0.01);
    EXPECT_NEAR(v[0], -v[3], 1e-9);
    EXPECT_NE(testing::ReadBytes(t.Folder() + "view.png.aux.xml").find("EPSG:3857"), std::string::npos);
    EXPECT_TRUE(platform::FileExists(t.Folder() + "view.prj"));
    // At a chosen width the same area, larger.
    ASSERT_TRUE(w.ExportView(t.Folder() + "big.png", 2 * w.Map()->width()));
    EXPECT_EQ(QImage(QString::fromStdString(t.Folder() + "big.png")).size(), 2 * w.Map()->size());

    // The project heads the recent list, in the settings file beside the program.
    const QList<QAction*> items = w.RecentMenu()->actions();
    ASSERT_FALSE(items.isEmpty());
    EXPECT_EQ(items[0]->text().toStdString(), t.ProjectPath());
    EXPECT_EQ(RecentList(platform::SettingsFileName()).Load().front(), t.ProjectPath());
}

// The window opens centred with Kartivo's icon, and File > Open starts in
// the save folder the settings name.
TEST_F(ViewerWindowTest, CentredWithIconAndOpenStartsInTheSaveFolder)
{
    const std::string folder = programDir / "maps";
    platform::TIniFile(platform::SettingsFileName()).WriteString("IniParas", "DefaultPath", folder);
    qt::TfrmMapViewer w;
    EXPECT_FALSE(w.windowIcon().isNull());
    EXPECT_TRUE(w.windowIcon().availableSizes().contains(QSize(64, 64)));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((w.frameGeometry().center() - screen.center()).manhattanLength(), 2);

    platform::RecordingDialogs dialogs;
    dialogs.openAnswers.push_back(std::nullopt);
    platform::SetDialogs(&dialogs);
    QAction* open = w.menuBar()->actions().front()->menu()->actions().front();
    ASSERT_EQ(open->text(), "&Open...");
    open->trigger();
    platform::SetDialogs(nullptr);
    ASSERT_EQ(dialogs.openRequests.size(), 1u);
    EXPECT_EQ(dialogs.openRequests[0].initialDir, folder);
}

// The window shows a preview while the scale's overview is built, says so,
// and clears the note once the true picture is in.
TEST_F(ViewerWindowTest, SaysWhileAnOverviewIsBuiltThenShowsIt)
{
    SyntheticTask t({0, 259, 500, 500, 10, 5});
    t.WriteAllTiles();
    qt::TfrmMapViewer w;
    w.resize(500, 300);
    w.show();
    QStringList notes;
    QObject::connect(w.Map(), &qt::MapWidget::noteChanged, [&](const QString& n) { notes << n; });
    ASSERT_TRUE(w.OpenProject(t.ProjectPath()));
    ASSERT_TRUE(WaitFor([&] {
        return w.Map()->LastFrameComplete() && w.NoteLabel()->text().isEmpty() && notes.count() >= 2;
    }));
    bool saidBuilding = false;
    for (const QString& n : notes)
        saidBuilding = saidBuilding || n.startsWith("Checking or building the overview");
    EXPECT_TRUE(saidBuilding);
    EXPECT_TRUE(w.NoteLabel()->text().isEmpty());
    EXPECT_TRUE(w.Map()->LastFrameComplete());
}

// A new session shows the overviews an earlier one kept at once, then
// replaces one whose tiles changed meanwhile.
TEST_F(ViewerWindowTest, KeptOverviewOfAChangedTileIsReplaced)
{
    SyntheticTask t({0, 259, 500, 500, 10, 5});
    t.WriteAllTiles();
    auto sharpPixel = [&](qt::TfrmMapViewer& w) {
        // Tile 100 in the middle at 1/32 (a kept level): 8 pixels a tile.
        w.Map()->SetOverlays({false, false, false});
        EXPECT_TRUE(w.GoTo("100/500"));
        w.Map()->ZoomBy(1.0 / 32 / w.Map()->View().Scale());
        EXPECT_TRUE(WaitFor([&] {
            w.Map()->grab();
            return w.Map()->LastFrameComplete();
        }));
        const QPointF at = ScreenOf(w, 100.5, 500.5);
        return w.Map()->grab().toImage().pixelColor(at.toPoint());
    };
    {
        auto first = Show(t, 400, 200);
        EXPECT_TRUE(Near(sharpPixel(*first), t.ColourOf(100, 500), 3));
    }
    const QColor changed(250, 10, 250);
    t.WriteTile(100, 500, changed);
    auto second = Show(t, 400, 200);
    EXPECT_TRUE(Near(sharpPixel(*second), changed, 3)) << sharpPixel(*second).name().toStdString();
}

// Go to a tile, zoom to a dragged selection, copy the position under the
// cursor; the scale reads as ground distance.
TEST_F(ViewerWindowTest, GoToZoomToSelectionAndCopyPosition)
{
    SyntheticTask t({60, 67, 60, 65, 9, 6});
    t.WriteAllTiles();
    auto window = Show(t, 700, 500);
    qt::TfrmMapViewer& w = *window;
    EXPECT_TRUE(w.ScaleText().startsWith("1 px = ")) << w.ScaleText().toStdString();
    EXPECT_TRUE(w.ScaleText().contains(" km") || w.ScaleText().contains(" m")) << w.ScaleText().toStdString();

    ASSERT_TRUE(w.GoTo("66/61"));
    const QPointF centre(w.Map()->width() / 2.0, w.Map()->height() / 2.0);
    EXPECT_NE(w.Map()->ReadOutAt(centre).toStdString().find("Column 66, row 61"), std::string::npos);
    platform::RecordingDialogs dialogs;
    platform::SetDialogs(&dialogs);
    EXPECT_FALSE(w.GoTo("somewhere"));
    platform::SetDialogs(nullptr);
    ASSERT_EQ(dialogs.messages.size(), 1u);

    // A selection of tiles 62..63 x 63..64 (edges 62..64, 63..65) fills the view.
    const MapGrid& g = w.Map()->Renderer()->Grid();
    w.Map()->SetSelection(g.LonLatToMap(core::TileXToLon(62, 9), core::TileYToLat(65, 9)),
                          g.LonLatToMap(core::TileXToLon(64, 9), core::TileYToLat(63, 9)));
    w.Map()->ZoomToSelection();
    EXPECT_NEAR(w.Map()->View().Scale(), std::min(w.Map()->width(), w.Map()->height()) / 512.0, 1e-9);
    EXPECT_NE(w.Map()->ReadOutAt(centre + QPointF(-5, -5)).toStdString().find("Column 62, row 64"),
              std::string::npos);

    // The position under the cursor, as Go to and --center take it.
    QMouseEvent move(QEvent::MouseMove, centre, w.Map()->mapToGlobal(centre), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(w.Map(), &move);
    w.CopyPosition();
    const std::string copied = QApplication::clipboard()->text().toStdString();
    MapPoint back;
    std::string error;
    ASSERT_TRUE(ParseGoTo(copied, g, back, error)) << copied;
    const MapPoint mid = w.Map()->View().ScreenToMap({centre.x(), centre.y()});
    EXPECT_NEAR(back.X, mid.X, 0.01);
    EXPECT_NEAR(back.Y, mid.Y, 0.01);
}

} // namespace

} // namespace kartivo::view
