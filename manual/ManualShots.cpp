// kartivo_manual_shots: makes the user manual's pictures from the program's
// real windows, offscreen, so they never go stale. The build runs it:
//
//     kartivo_manual_shots OUTPUT_FOLDER
//
// and, for the map viewer's picture, has it write the example's download as
// a small made-up project (plateview then draws that):
//
//     kartivo_manual_shots --sample FOLDER PROGRAM_FOLDER
//
// Each picture is one row of kShots: a file name and a function that sets a
// window up as a user would see it and returns the widget to grab. To show
// another window (a sibling program's, say), link its library here and add
// a row.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/TextFile.h"
#include "platform/qt/AppIcon.h"
#include "platform/qt/QtDispatcher.h"
#include "task/Unitclasstask.h"
#include "ui/DownloadController.h"
#include "ui/qt/Controls.h"
#include "ui/qt/Convert.h"
#include "ui/qt/Unit1.h"
#include "ui/qt/Unit2.h"
#include "ui/qt/Unitftl.h"
#include "ui/qt/Unitoptions.h"

namespace kartivo::manual {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The example used throughout the manual: central Paris at zoom level 15.
constexpr const char* kLeft = "2.29";
constexpr const char* kRight = "2.36";
constexpr const char* kTop = "48.88";
constexpr const char* kBottom = "48.85";
constexpr int kZoom = 15;
constexpr const char* kSaveFolder = "/home/anna/orvanta";

// The windows of one program run, created as start-up creates them. No
// worker runs here, but the main window is handed a dispatcher all the same;
// declared first, it outlives the windows.
struct Windows {
    platform::qt::QtMainDispatcher dispatcher;
    ui::TForm1 form1{dispatcher};
    ui::TfrmAbout about{&form1};
    ui::TfrmConvert convert{&form1};
    ui::TfrmOptions options{&form1};
    ui::TfrmFlt flt{&form1};
    Windows() { form1.SetWindows({&about, &convert, &options, &flt}); }
};

// The example's request, saved in `saveFolder`.
task::TaskParameters ExampleRequest(const std::string& saveFolder)
{
    task::TaskParameters params;
    params.LeftLongitude = 2.29;
    params.RightLongitude = 2.36;
    params.TopLatitude = 48.88;
    params.BottomLatitude = 48.85;
    params.Zoom = kZoom;
    params.MapsType = 5;
    params.SavePath = saveFolder + "/";
    params.TaskName = "paris.kvpd";
    return params;
}

// The example's task, worked out as Start would, without touching the disk.
struct ExampleTask {
    task::TaskParameters params = ExampleRequest(kSaveFolder);
    std::unique_ptr<task::KvTask> task;
    ExampleTask()
    {
        task::TaskOrError described = task::KvTask::Describe(params);
        if (!described.Task)
            throw std::runtime_error(described.Error);
        task = std::move(described.Task);
    }
    // Column and row of the tile with sequence number seq (counted from 1).
    int X(int seq) const { return task->Xmin + (seq - 1) / Height(); }
    int Y(int seq) const { return task->Ymin + (seq - 1) % Height(); }
    int Height() const { return task->Ymax - task->Ymin + 1; }
};

// The main window with the example typed in, part way through a download:
// the log lines are the ones the workers write for these very tiles, and the
// status bar counts them as a run does, 12 seconds after Start.
QWidget* MainWindow(Windows& w)
{
    ui::TForm1& f = w.form1;
    f.show();
    f.Edit1->setText(kLeft);
    f.Edit3->setText(kRight);
    f.Edit2->setText(kTop);
    f.Edit4->setText(kBottom);
    f.UpDown1->SetPosition(kZoom);
    f.Edit6->setText(kSaveFolder);
    f.EditTaskName->setText("paris.kvpd");
    f.radio_mapstype->SetItemIndex(0);

    const ExampleTask example;
    f.LabelTotalxy->setText(Q("Total images: " + std::to_string(example.task->TileCount)));
    f.BitBtn1->setText("Stop");

    // The controller counts on a clock of our own, so the rate is that of
    // 14 tiles in 12 seconds whenever the picture is made.
    ui::DownloadController& run = f.Controller();
    auto now = ui::DownloadProgress::Clock::time_point{};
    run.Progress.SetClock([&now] { return now; });
    run.Progress.Begin(example.task->TileCount, 0);
    run.Progress.Sample();

    ui::LineList& log = run.Memo1Lines;
    log.Clear();
    log.Add("Start downloading...");
    log.Add("~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~");
    for (int seq = 1; seq <= 14; ++seq) {
        const int worker = seq % example.task->Params.ThreadCount;
        run.AddLogLine("T" + std::to_string(worker + 1) + ":seq=" + std::to_string(seq) + "," +
                       example.task->GetTileFileName(example.X(seq), example.Y(seq)) + " OK");
    }
    f.Memo1->Sync();
    now += std::chrono::seconds(12);
    run.UpdateProgress();
    run.Progress.SetClock({}); // `now` ends with this function
    f.BitBtn1->setFocus();
    return &f;
}

QWidget* Options(Windows& w)
{
    w.options.show();
    w.options.Edit12->setText(kSaveFolder);
    return &w.options;
}

QWidget* Converter(Windows& w)
{
    w.convert.show();
    w.convert.Edit1->setText("48");
    w.convert.Edit2->setText("51");
    w.convert.Edit3->setText("24");
    w.convert.Button1Click();
    return &w.convert;
}

// A finished run over the example's failed-tiles list: one tile the server
// does not have, one fetched again.
QWidget* Redownload(Windows& w)
{
    w.flt.show();
    const ExampleTask example;
    const task::KvTask& t = *example.task;
    const std::string missing = t.GetTileUrl(example.X(20), example.Y(20));
    const int x = example.X(27), y = example.Y(27);
    w.flt.Memo1Lines.Assign({"Start...", "404 Not Found->" + missing,
                             missing + ":Error: the image is not found on server.",
                             t.GetTileFilePath(x, y) + ":" + t.GetTileUrl(x, y) + " ->OK", "Download End."});
    w.flt.Memo1->Sync();
    w.flt.LabelProgress->setText("2 of 2");
    return &w.flt;
}

QWidget* About(Windows& w)
{
    w.form1.show();
    w.about.show();
    return &w.about;
}

// The example's download written into `folder` as Start writes it, with
// tiles of a made-up town (streets, a river, a park) drawn across the whole
// area so they join up. Two tiles are the blank substitute, one is missing
// and two are in the failed list, so the viewer's marks have something to
// show. PROGRAM_FOLDER holds the blank images the viewer compares with.
bool WriteSampleProject(const std::string& folder, const std::string& programFolder)
{
    platform::SetProgramFolderForTests(programFolder);
    task::TaskOrError made = task::KvTask::Create(ExampleRequest(folder));
    if (!made.Task) {
        std::fprintf(stderr, "kartivo_manual_shots: %s\n", made.Error.c_str());
        return false;
    }
    std::unique_ptr<task::KvTask> task = std::move(made.Task);
    task->WriteProjectFile();
    task->WriteTileList();

    // The town in pixels of the whole area, north-west corner at (0, 0).
    const int width = (task->Xmax - task->Xmin + 1) * task->TileWidth;
    const int height = (task->Ymax - task->Ymin + 1) * task->TileHeight;
    QPainterPath river(QPointF(0, height * 0.62));
    river.cubicTo(width * 0.3, height * 0.45, width * 0.6, height * 0.85, width, height * 0.55);
    auto drawTown = [&](QPainter& p) {
        p.fillRect(QRectF(0, 0, width, height), QColor(242, 239, 233));
        p.fillRect(QRectF(width * 0.55, height * 0.12, width * 0.18, height * 0.2), QColor(200, 230, 190));
        p.setRenderHint(QPainter::Antialiasing);
        p.strokePath(river, QPen(QColor(170, 205, 235), 38));
        for (int i = 1; i < 9; ++i) {
            const double street = i * width / 9.0, avenue = i * height / 7.0;
            const bool main = i % 3 == 0;
            const QPen casing(QColor(200, 195, 185), main ? 16 : 9);
            const QPen road(main ? QColor(252, 214, 164) : Qt::white, main ? 12 : 6);
            for (const QPen& pen : {casing, road}) {
                p.setPen(pen);
                p.drawLine(QPointF(street, 0), QPointF(street - width * 0.05, height));
                if (i < 7)
                    p.drawLine(QPointF(0, avenue), QPointF(width, avenue + height * 0.04));
            }
        }
    };
    for (int x = task->Xmin; x <= task->Xmax; ++x)
        for (int y = task->Ymin; y <= task->Ymax; ++y) {
            QImage tile(task->TileWidth, task->TileHeight, QImage::Format_RGB32);
            QPainter p(&tile);
            // Rows count from the south: the top row of the area is Ymax.
            p.translate(-(x - task->Xmin) * task->TileWidth, -(task->Ymax - y) * task->TileHeight);
            drawTown(p);
            p.end();
            if (!tile.save(Q(task->GetTileFilePath(x, y)), "PNG"))
                return false;
        }

    const auto at = [&](int dx, int dy) { return task->GetTileFilePath(task->Xmin + dx, task->Ymin + dy); };
    for (auto [dx, dy] : {std::pair{5, 0}, std::pair{6, 0}})
        if (!QFile::remove(Q(at(dx, dy))) || !QFile::copy(Q(task->BlankImageFile()), Q(at(dx, dy))))
            return false;
    QFile::remove(Q(at(0, 4)));
    std::vector<std::string> failed;
    for (auto [dx, dy] : {std::pair{3, 2}, std::pair{4, 2}}) {
        QFile::remove(Q(at(dx, dy)));
        failed.push_back(
            task::JoinFailedLine(at(dx, dy), task->GetTileUrl(task->Xmin + dx, task->Ymin + dy)));
    }
    platform::WriteLines(task->FailedFile, failed);
    return true;
}

struct Shot {
    const char* file;
    std::function<QWidget*(Windows&)> make;
};

const std::vector<Shot> kShots = {
    {"main-window.png", MainWindow}, {"options.png", Options}, {"converter.png", Converter},
    {"redownload.png", Redownload},  {"about.png", About},
};

// Lets layouts settle and pending paints run before a grab.
void Settle()
{
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
}

int Run(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--sample") {
        QDir(QString::fromLocal8Bit(argv[2])).removeRecursively();
        QDir().mkpath(QString::fromLocal8Bit(argv[2]));
        try {
            return WriteSampleProject(argv[2], std::string(argv[3]) + "/") ? 0 : 1;
        } catch (const std::exception& e) { // a record file that cannot be written
            std::fprintf(stderr, "kartivo_manual_shots: %s\n", e.what());
            return 1;
        }
    }
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: kartivo_manual_shots OUTPUT_FOLDER\n"
                     "       kartivo_manual_shots --sample FOLDER PROGRAM_FOLDER\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The pictures show an installed copy as its user sees it: no settings
    // yet, a read-only ini/ folder (so the settings file named is the user's
    // own), never the settings of whoever builds. Nothing is written.
    const QString scratch = QDir::tempPath() + "/kartivo_manual_shots_" + QString::number(::getpid());
    QDir().mkpath(scratch + "/ini");
    QFile::setPermissions(scratch + "/ini", QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                                QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    platform::SetProgramFolderForTests(scratch.toStdString());
    setenv("HOME", "/home/anna", 1);
    unsetenv("XDG_CONFIG_HOME");

    QApplication app(argc, argv);
    QApplication::setApplicationName("Kartivo");
    QApplication::setWindowIcon(platform::qt::KartivoIcon());
    platform::RecordingDialogs dialogs; // nothing may wait for a click
    platform::SetDialogs(&dialogs);

    // The folder holds exactly the pictures of kShots: none left over from
    // an earlier build goes into the package.
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    int failures = 0;
    for (const Shot& shot : kShots) {
        try {
            Windows windows;
            QWidget* widget = shot.make(windows);
            Settle();
            const QString path = out + "/" + shot.file;
            if (!widget->grab().save(path)) {
                std::fprintf(stderr, "kartivo_manual_shots: cannot write %s\n", qPrintable(path));
                ++failures;
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kartivo_manual_shots: %s: %s\n", shot.file, e.what());
            ++failures;
        }
    }
    platform::SetDialogs(nullptr);
    QFile::setPermissions(scratch + "/ini", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir(scratch).removeRecursively();
    return failures == 0 ? 0 : 1;
}

} // namespace

} // namespace kartivo::manual

int main(int argc, char** argv) { return kartivo::manual::Run(argc, argv); }
