#include "ui/qt/Unit1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include <filesystem>

#include "core/MapTypes.h"
#include "platform/Files.h"
#include "platform/Settings.h"
#include "platform/SettingsFile.h"
#include "platform/qt/EventGuard.h"
#include "platform/qt/QtDispatcher.h"
#include "platform/qt/QtText.h"
#include "task/ProjectFile.h"
#include "ui/qt/Controls.h"
#include "ui/qt/Convert.h"
#include "ui/qt/Unit2.h"
#include "ui/qt/Unitftl.h"
#include "ui/qt/Unitoptions.h"

namespace kartivo::ui {

TForm1* Form1 = nullptr;

using platform::qt::FromQ;
using platform::qt::RunGuarded;
using platform::qt::ToQ;

namespace {

// Shown at the top of the log window once it no longer shows every line.
constexpr const char* kEarlierLinesNote =
    "[Earlier lines are in the log file: Misc > View log file opens it.]";

} // namespace

std::string DefaultSaveFolder() { return platform::DefaultSavePathDefault(); }

MainSettings ReadMainSettings(const std::string& iniFileName)
{
    // Read once; a file far larger than any settings file is not read.
    platform::IniLoad load = platform::IniLoad::Missing;
    const platform::SettingsValues ini = platform::ReadSettings(iniFileName, &load);
    MainSettings s;
    s.Refused = load == platform::IniLoad::Refused;
    s.DefaultSavePath = ini.Get(platform::settings::DefaultPath);
    s.Version = ini.Get(platform::settings::Version);
    return s;
}

std::string NotSettingsMessage(const std::string& path) { return path + " is not a Kartivo settings file."; }

std::string MissingFileMessage(const std::string& path) { return "Cannot find the file:\n" + path; }

std::string CannotOpenMessage(const std::string& target) { return platform::CannotOpenMessage(target); }

// ---- construction -----------------------------------------------------------

TForm1::TForm1(platform::qt::QtMainDispatcher& dispatcher, QWidget* parent)
    : QMainWindow(parent), dispatcher_(dispatcher), controller_(*this)
{
    Form1 = this;
    setWindowTitle("Kartivo");
    QFont formFont = font();
    formFont.setPointSize(8); // Tahoma 8 pt where it exists; the desktop's font otherwise
    if (QFontInfo(QFont("Tahoma")).family() == "Tahoma")
        formFont.setFamily("Tahoma");
    setFont(formFont);

    BuildMenus();
    BuildControls();

    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);

    memoRefresh_ = new QTimer(this);
    memoRefresh_->setSingleShot(true);
    memoRefresh_->setInterval(40);
    connect(memoRefresh_, &QTimer::timeout, this, [this] {
        Memo1->Sync();
        Memo2->Sync();
    });

    resize(670, 469);
    // Never smaller than the size at which every control is whole: the left
    // panel at its full height and a log still wide enough to read.
    setMinimumSize(minimumSizeHint().expandedTo(QSize(353 + 180, 0)));
    CenterOnDesktop(this);
}

void TForm1::CreateProgramWindows()
{
    ProgramWindows w;
    w.About = new TfrmAbout(this);
    w.Convert = new TfrmConvert(this);
    w.Options = new TfrmOptions(this);
    w.Flt = new TfrmFlt(this);
    SetWindows(w);
}

TForm1::~TForm1()
{
    // Workers blocked in Synchronize would wait for this thread forever while
    // the controller's destructor waits for them: release them first.
    dispatcher_.Shutdown();
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::BuildMenus()
{
    File1 = menuBar()->addMenu("&File");
    Exit1 = File1->addAction("E&xit", this, &TForm1::Exit1Click);

    Options1 = menuBar()->addMenu("&Options");
    Options2 = Options1->addAction("Options...", this, &TForm1::Options2Click);

    Misc1 = menuBar()->addMenu("&Misc");
    ConvertLongitudeorLatitudetodegreen1 =
        Misc1->addAction("Convert \"Degrees,Minutes,Seconds\"  to \"Degrees\"...", this,
                         &TForm1::ConvertLongitudeorLatitudetodegreen1Click);
    Misc1->addSeparator();
    Viewlogfile1 = Misc1->addAction("View log file", this, &TForm1::Viewlogfile1Click);

    Tools1 = menuBar()->addMenu("&Tools");
    Mapviewer1 = Tools1->addAction("Map Viewer", this, &TForm1::Mapviewer1Click);
    Tools1->addSeparator();
    CombineImages1 = Tools1->addAction("Map Combiner", this, &TForm1::CombineImages1Click);
    Tools1->addSeparator();
    ReDownloadfailedfiles1 =
        Tools1->addAction("Re-Download failed images", this, &TForm1::ReDownloadfailedfiles1Click);

    Help1 = menuBar()->addMenu("&Help");
    Usermanual1 = Help1->addAction("User manual", this, &TForm1::Usermanual1Click);
    Usermanual1->setShortcut(QKeySequence(Qt::Key_F1));
    Homepage1 = Help1->addAction("Homepage", this, &TForm1::Homepage1Click);
    Help1->addSeparator();
    About1 = Help1->addAction("About...", this, &TForm1::About1Click);
}

void TForm1::BuildControls()
{
    auto* central = new QWidget(this);
    auto* columns = new QHBoxLayout(central);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);

    // Left panel: the task controls, 353 pixels wide.
    auto* panel = new QWidget(central);
    leftPanel_ = panel;
    panel->setFixedWidth(353);
    auto* form = new QVBoxLayout(panel);
    form->setContentsMargins(5, 8, 5, 6);
    form->setSpacing(6);

    auto* taskRow = new QHBoxLayout;
    Label16 = new QLabel("Task name:", panel);
    EditTaskName = new QLineEdit("newtask.kvpd", panel);
    Button4 = new QPushButton("Open task ...", panel);
    taskRow->addWidget(Label16);
    taskRow->addWidget(EditTaskName, 1);
    taskRow->addWidget(Button4);
    form->addLayout(taskRow);

    QStringList items;
    for (int i = 0; i < core::kMapTypeCount; ++i)
        items << core::MapTypeByIndex(i).Caption;
    radio_mapstype = new TRadioGroup("Maps Type", items, 2, panel);
    radio_mapstype->SetItemIndex(1);
    form->addWidget(radio_mapstype);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(5);
    auto addRow = [&](int row, QLabel*& label, const char* caption, QLineEdit*& edit) {
        label = new QLabel(caption, panel);
        edit = new QLineEdit(panel);
        label->setBuddy(edit);
        grid->addWidget(label, row, 0);
        grid->addWidget(edit, row, 1, 1, 2);
    };
    addRow(0, Label1, "Left Longitude:", Edit1);
    addRow(1, Label2, "Right Longitude:", Edit3);
    addRow(2, Label3, "Top Latitude:", Edit2);
    addRow(3, Label4, "Bottom Latitude:", Edit4);

    Label5 = new QLabel("Zoom level:", panel);
    Edit5 = new QLineEdit(panel);
    Edit5->setReadOnly(true);
    Edit5->setFixedWidth(44);
    UpDown1 = new TUpDown(Edit5, 1, 20, 13, panel);
    UpDown1->setFixedHeight(Edit5->sizeHint().height());
    auto* zoomRow = new QHBoxLayout;
    zoomRow->setSpacing(0);
    zoomRow->addWidget(Edit5);
    zoomRow->addWidget(UpDown1);
    zoomRow->addStretch(1);
    grid->addWidget(Label5, 4, 0);
    grid->addLayout(zoomRow, 4, 1, 1, 2);

    Label6 = new QLabel("Path to save:", panel);
    Edit6 = new QLineEdit(panel);
    Button1 = new QPushButton("...", panel);
    Button1->setToolTip("Click to select path");
    Button1->setFixedWidth(32);
    grid->addWidget(Label6, 5, 0);
    grid->addWidget(Edit6, 5, 1);
    grid->addWidget(Button1, 5, 2);
    grid->setColumnStretch(1, 1);
    form->addLayout(grid);

    BitBtn1 = new QPushButton(kCaptionStart, panel);
    QFont bold = BitBtn1->font();
    bold.setBold(true);
    bold.setPointSize(10);
    BitBtn1->setFont(bold);
    BitBtn1->setDefault(true);
    BitBtn1->setMinimumSize(120, 34);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addStretch(1);
    buttonRow->addWidget(BitBtn1);
    buttonRow->addStretch(1);
    form->addSpacing(4);
    form->addLayout(buttonRow);

    LabelTotalxy = new QLabel(panel);
    LabelTotalxy->setAlignment(Qt::AlignHCenter);
    form->addWidget(LabelTotalxy);

    Memo2 = std::make_unique<TMemo>(controller_.Memo2Lines, panel);
    Memo2->setVisible(false);
    {
        QPalette p = Memo2->palette();
        p.setColor(QPalette::Text, QColor(0, 0, 255));
        Memo2->setPalette(p);
    }
    form->addStretch(1);

    // The log fills the rest.
    Memo1 = std::make_unique<TMemo>(controller_.Memo1Lines, central);
    Memo1->setToolTip("Double click to view log in notepad");
    // The window shows the newest lines only; the log file holds them all.
    Memo1->SetTrimNote(ToQ(kEarlierLinesNote));
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    {
        QFont f = Memo1->font();
        f.setPointSize(10);
        Memo1->setFont(f);
        QPalette p = Memo1->palette();
        p.setColor(QPalette::Base, p.color(QPalette::ToolTipBase));
        p.setColor(QPalette::Text, QColor(0, 128, 0));
        Memo1->setPalette(p);
    }

    columns->addWidget(panel);
    columns->addWidget(Memo1.get(), 1);
    setCentralWidget(central);

    BuildStatusBar();

    connect(Button4, &QPushButton::clicked, this, &TForm1::LoadParametersfromprojectfilel1Click);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(BitBtn1, &QPushButton::clicked, this, &TForm1::BitBtn1Click);
    connect(Memo1.get(), &TMemo::DoubleClicked, this, &TForm1::Viewlogfile1Click);
}

void TForm1::BuildStatusBar()
{
    StatusBar1 = statusBar();
    StatusPanel = new QLabel("Download images from Bing Maps!", StatusBar1);
    StatusBar1->addWidget(StatusPanel, 1);

    // From a Start on: a bar, where the task stands and, below it, what
    // became of its tiles; after the end, the summary in their place.
    ProgressPanel = new QWidget(StatusBar1);
    auto* grid = new QGridLayout(ProgressPanel);
    grid->setContentsMargins(0, 1, 0, 1);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(0);
    ProgressBar1 = new QProgressBar(ProgressPanel);
    ProgressBar1->setRange(0, 1000);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setFixedWidth(120);
    LabelProgress = new QLabel(ProgressPanel);
    LabelProgress->setWordWrap(true);
    LabelCounts = new QLabel(ProgressPanel);
    grid->addWidget(ProgressBar1, 0, 0, 2, 1, Qt::AlignVCenter);
    grid->addWidget(LabelProgress, 0, 1);
    grid->addWidget(LabelCounts, 1, 1);
    grid->setColumnStretch(1, 1);
    ProgressPanel->setVisible(false);
    StatusBar1->addWidget(ProgressPanel, 1);
}

// ---- IDownloadView ----------------------------------------------------------

void TForm1::ShowButtonCaption(const std::string& caption) { BitBtn1->setText(ToQ(caption)); }
void TForm1::ShowTotal(const std::string& text) { LabelTotalxy->setText(ToQ(text)); }

void TForm1::SetTimerEnabled(bool enabled)
{
    if (enabled)
        Timer1->start();
    else
        Timer1->stop();
}

void TForm1::MemosChanged()
{
    // Lines arrive one Synchronize at a time; drawing them in batches keeps
    // the window responsive at any rate.
    if (!memoRefresh_->isActive())
        memoRefresh_->start();
}

void TForm1::ShowProgress(int permille, const std::string& text, const std::string& counts)
{
    StatusPanel->setVisible(false);
    ProgressPanel->setVisible(true);
    ProgressBar1->setValue(permille);
    LabelProgress->setText(ToQ(DownloadProgress::KeepWordsTogether(text)));
    LabelCounts->setText(ToQ(counts));
    LabelCounts->setVisible(true);
}

void TForm1::ShowSummary(int permille, const std::string& summary)
{
    StatusPanel->setVisible(false);
    ProgressPanel->setVisible(true);
    ProgressBar1->setValue(permille);
    LabelProgress->setText(ToQ(DownloadProgress::KeepWordsTogether(summary)));
    LabelCounts->setVisible(false);
}

StartInput TForm1::ReadInput() const
{
    StartInput in;
    in.LeftLongitude = FromQ(Edit1->text());
    in.TopLatitude = FromQ(Edit2->text());
    in.RightLongitude = FromQ(Edit3->text());
    in.BottomLatitude = FromQ(Edit4->text());
    in.Zoom = FromQ(Edit5->text());
    in.SavePath = FromQ(Edit6->text());
    in.TaskName = FromQ(EditTaskName->text());
    in.MapsTypeIndex = radio_mapstype->ItemIndex();
    return in;
}

// ---- events -----------------------------------------------------------------

void TForm1::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (closing_) {
        event->accept();
        return;
    }
    closing_ = true;
    // During a download: save as a fifth tick would, ask the workers to
    // stop, and let them go without waiting for requests in flight; their
    // last Synchronize calls return unrun once the dispatcher is shut down.
    // No tick may run in the nested loop of an error box shown meanwhile.
    Timer1->stop();
    RunGuarded([&] { controller_.PrepareForClose(); });
    dispatcher_.Shutdown();
    event->accept();
    // Closing the main window ends the program, even with other windows open.
    QApplication::quit();
}

void TForm1::keyPressEvent(QKeyEvent* event)
{
    // Edits, radio items, the up-down control and the panel itself leave
    // Enter unhandled, so it arrives here. A focused push button keeps its
    // own Enter, as a focused button does on every desktop.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && leftPanel_) {
        QWidget* focus = focusWidget();
        if (focus && (focus == leftPanel_ || leftPanel_->isAncestorOf(focus))) {
            if (auto* button = qobject_cast<QPushButton*>(focus); button && button != BitBtn1)
                button->click();
            else
                BitBtn1->click();
            event->accept();
            return;
        }
    }
    QMainWindow::keyPressEvent(event);
}

void TForm1::FormShow()
{
    RunGuarded([&] {
        ProgramFolder = platform::ProgramFolder();
        HomepageLink = kHomepageLink;
        // ProgramFolder + "ini/config.ini" when that folder may be written,
        // else the user's own copy (~/.config/kartivo/config.ini).
        IniFileName = platform::SettingsFileName();
        HelpFile = ProgramFolder + "help" + platform::PathDelim + "index.html";
        MailLink = kMailLink;
        controller_.IniFileName = IniFileName;
        const MainSettings settings = ReadMainSettings(IniFileName);
        if (settings.Refused)
            platform::Dialogs().ShowMessage(NotSettingsMessage(IniFileName));
        DefaultSavePath = settings.DefaultSavePath;
        setWindowTitle(ToQ("Kartivo " + settings.Version));
        Edit6->setText(ToQ(DefaultSavePath));
    });
}

void TForm1::Button1Click()
{
    RunGuarded([&] {
        if (auto folder = platform::Dialogs().BrowseFolder("Select path to save"))
            Edit6->setText(ToQ(*folder));
    });
}

void TForm1::BitBtn1Click()
{
    RunGuarded([&] { controller_.Press(ReadInput()); });
}

void TForm1::Timer1Timer()
{
    RunGuarded([&] { controller_.Tick(); });
}

void TForm1::LoadParametersfromprojectfilel1Click()
{
    RunGuarded([&] {
        const auto chosen = platform::ChooseProject("Open project file:", DefaultSavePath);
        if (!chosen)
            return;
        // Only fills controls: the texts as the file holds them, unchecked.
        // The file is read once; one far larger than any project is refused.
        const task::ProjectIni project = task::ProjectIni::Read(*chosen);
        if (project.State() == task::ProjectIni::Status::NotAProject) {
            platform::Dialogs().ShowMessage(task::NotAProjectMessage(*chosen));
            return;
        }
        Edit1->setText(ToQ(project.CoordinateText(0)));
        Edit3->setText(ToQ(project.CoordinateText(1)));
        Edit2->setText(ToQ(project.CoordinateText(2)));
        Edit4->setText(ToQ(project.CoordinateText(3)));
        Edit6->setText(ToQ(platform::ExtractFilePath(*chosen)));
        EditTaskName->setText(ToQ(platform::ExtractFileName(*chosen)));
        // A code that names no map type (an absent key reads as 0) keeps the
        // current selection rather than guessing one.
        const int index = core::MapTypeIndexOfCode(project.MapsType().value_or(0));
        if (index >= 0)
            radio_mapstype->SetItemIndex(index);
        const int zoom = project.Zoom().value_or(0);
        UpDown1->SetPosition(zoom);
        Edit5->setText(QString::number(zoom));
        // The opened project is the current one: its count, and what the
        // viewer and the combiner open.
        controller_.ShowOpenedTotal(ReadInput());
        controller_.SetCurrentProject(*chosen);
    });
}

void TForm1::Exit1Click() { close(); }

void TForm1::Options2Click()
{
    RunGuarded([&] {
        if (windows_.Options)
            windows_.Options->exec();
    });
}

void TForm1::ConvertLongitudeorLatitudetodegreen1Click()
{
    RunGuarded([&] {
        if (!windows_.Convert)
            return;
        windows_.Convert->show();
        windows_.Convert->raise();
        windows_.Convert->activateWindow();
    });
}

void TForm1::Viewlogfile1Click()
{
    RunGuarded([&] {
        const task::KvTask* task = controller_.CurrentTask.get();
        if (!task)
            platform::Dialogs().ShowMessage("No task running now." + std::string(18, ' '));
        else if (platform::FileExists(task->LogFile))
            platform::ShellOpenOrTell(task->LogFile);
        else
            platform::Dialogs().ShowMessage("No logfile now." + std::string(25, ' '));
    });
}

void TForm1::OpenProgramFile(const std::string& path, bool isProgram, const std::vector<std::string>& options)
{
    auto& dialogs = platform::Dialogs();
    if (!platform::FileExists(path)) {
        dialogs.ShowMessage(MissingFileMessage(path));
        return;
    }
    if (!isProgram) {
        platform::ShellOpenOrTell(path);
        return;
    }
    // The sibling opens the current task, when there is one. Its path is
    // made absolute: the sibling may resolve it elsewhere, and a path that
    // begins with "/" is never taken for an option.
    std::vector<std::string> arguments = options;
    if (!controller_.CurrentProject().empty())
        arguments.push_back(
            std::filesystem::absolute(controller_.CurrentProject()).lexically_normal().string());
    if (!dialogs.StartProgram(path, arguments))
        dialogs.ShowMessage(CannotOpenMessage(path));
}

void TForm1::Mapviewer1Click()
{
    RunGuarded([&] { OpenProgramFile(ProgramFolder + "plateview", true); });
}

void TForm1::CombineImages1Click()
{
    // platejoin given a project alone combines it on the command line; the
    // menu opens its window on the project instead.
    RunGuarded([&] { OpenProgramFile(ProgramFolder + "platejoin", true, {"--window"}); });
}

void TForm1::ReDownloadfailedfiles1Click()
{
    RunGuarded([&] {
        // Not modal: the main window stays usable while tiles are fetched again.
        if (windows_.Flt) {
            windows_.Flt->show();
            windows_.Flt->raise();
            windows_.Flt->activateWindow();
        }
    });
}

void TForm1::Usermanual1Click()
{
    RunGuarded([&] { OpenProgramFile(HelpFile, false); });
}

void TForm1::Homepage1Click()
{
    RunGuarded([&] { platform::ShellOpenOrTell(HomepageLink); });
}

void TForm1::About1Click()
{
    RunGuarded([&] {
        if (windows_.About)
            windows_.About->exec();
    });
}

} // namespace kartivo::ui
