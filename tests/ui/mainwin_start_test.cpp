// Start's checks and messages, the continue test, the settings the main
// window reads, View log file and the menu commands: the main window against
// its own program folder, save folder and, where a download starts, the
// test server as the proxy.
#include "tests/ui/MainWindowFixture.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <cstdlib>

#include "platform/IniFile.h"

namespace kartivo::ui {

using testing::MainWindowTest;
using testing::ReadBytes;
using testing::WriteBytes;

namespace {

struct StartCase {
    const char* label;
    const char* left;
    const char* right;
    const char* top;
    const char* bottom;
    bool emptyPath;
    int zoom; // through an opened project when outside 1..20
    const char* message;
};

class StartRefusalTest : public MainWindowTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartRefusalTest, ShowsOnlyTheFirstMessageAndStartsNothing)
{
    const StartCase& c = GetParam();
    OpenWindow();
    form->Edit1->setText(c.left);
    form->Edit3->setText(c.right);
    form->Edit2->setText(c.top);
    form->Edit4->setText(c.bottom);
    form->Edit6->setText(c.emptyPath ? QString() : QString::fromStdString(savePath));
    form->Edit5->setText(QString::number(c.zoom));

    form->BitBtn1Click();

    EXPECT_EQ(dialogs.messages, std::vector<std::string>{c.message});
    EXPECT_TRUE(dialogs.errors.empty());
    EXPECT_EQ(Caption(), "Start");
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(C().CurrentTask, nullptr);
    EXPECT_FALSE(platform::FileExists(savePath + "/newtask.kvpd"));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, StartRefusalTest,
    ::testing::Values(
        StartCase{"EmptyPathHidesBadCoordinate", "x", "1", "1", "0", true, 13,
                  "Please select a path to save the images."},
        StartCase{"NotANumber", "12.5", "abc", "1", "0", false, 13, "Longitude or latitude input error!"},
        StartCase{"EmptyField", "12.5", "13", "", "0", false, 13, "Longitude or latitude input error!"},
        StartCase{"TwoCommas", "12,5,1", "13", "1", "0", false, 13, "Longitude or latitude input error!"},
        StartCase{"LeftJustAbove", "180.0001", "180", "1", "0", false, 13,
                  "Left Longitude should be between -180 and 180."},
        StartCase{"RightBelow", "0", "-181", "1", "0", false, 13,
                  "Right Longitude should be between -180 and 180."},
        StartCase{"TopNinety", "0", "1", "90", "0", false, 13, "Top Latitude should be between -85 and 85."},
        StartCase{"BottomBelow", "0", "1", "1", "-85.5", false, 13,
                  "Bottom Latitude should be between -85 and 85."},
        StartCase{"LeftOfRight", "10", "9.99", "1", "0", false, 13,
                  "Left Longitude should less than Right Longitude!"},
        StartCase{"TopBelowBottom", "0", "1", "10", "10.5", false, 13,
                  "Bottom Latitude should less than Top Latitude!"},
        StartCase{"SeveralRangeFaultsLeftFirst", "200", "1", "90", "-90", false, 13,
                  "Left Longitude should be between -180 and 180."},
        StartCase{"RangeBeforeOrder", "10", "9", "90", "0", false, 13,
                  "Top Latitude should be between -85 and 85."},
        StartCase{"CoordinatesBeforeZoom", "10", "9", "1", "0", false, 25,
                  "Left Longitude should less than Right Longitude!"},
        StartCase{"ZoomZero", "10", "11", "1", "0", false, 0, "Zoom level should be between 1 and 20."},
        StartCase{"ZoomTwentyFive", "10", "11", "1", "0", false, 25,
                  "Zoom level should be between 1 and 20."}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return std::string(info.param.label); });

TEST_F(MainWindowTest, SaveFolderIsCreatedBeforeACoordinateIsRefused)
{
    OpenWindow();
    TypeSmallArea();
    form->Edit1->setText("west");
    ASSERT_FALSE(platform::DirectoryExists(savePath));

    form->BitBtn1Click();

    EXPECT_EQ(dialogs.messages, std::vector<std::string>{"Longitude or latitude input error!"});
    EXPECT_TRUE(platform::DirectoryExists(savePath));
}

// A task name that would reach outside the save folder is refused before
// anything is made: no save folder, no file beside or above it.
TEST_F(MainWindowTest, TaskNameOutsideTheSaveFolderMakesNothing)
{
    OpenWindow();
    for (const char* name : {"../x", "..", ".", ""}) {
        SCOPED_TRACE(name);
        TypeSmallArea(name);
        dialogs.messages.clear();
        form->BitBtn1Click();
        ASSERT_EQ(dialogs.messages.size(), 1u);
        EXPECT_EQ(dialogs.messages[0], CheckTaskName(CompleteTaskName(name)));
        EXPECT_EQ(Caption(), "Start");
        EXPECT_EQ(C().CurrentTask, nullptr);
        EXPECT_TRUE(std::filesystem::is_empty(saveRoot.Path()))
            << "something was made in " << saveRoot.Path();
    }
}

TEST_F(MainWindowTest, FolderThatCannotBeCreatedIsNamedAsTyped)
{
    OpenWindow();
    TypeSmallArea();
    const std::string typed = saveRoot.Path() + "missing/parent";
    form->Edit6->setText(QString::fromStdString(typed));

    form->BitBtn1Click();

    EXPECT_EQ(dialogs.messages, std::vector<std::string>{"Create directory " + typed + " Failed."});
    EXPECT_EQ(Caption(), "Start");
}

TEST_F(MainWindowTest, RecordFileThatCannotBeWrittenEndsStartInTheErrorBox)
{
    OpenWindow();
    TypeSmallArea();
    std::filesystem::create_directories(savePath + "/newtask_list.txt"); // in the tile list's way

    form->BitBtn1Click();

    ASSERT_EQ(dialogs.errors.size(), 1u);
    EXPECT_NE(dialogs.errors[0].find(savePath + "/newtask_list.txt"), std::string::npos) << dialogs.errors[0];
    EXPECT_EQ(Caption(), "Start");
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_FALSE(C().WorkersInFlight());
    EXPECT_EQ(C().RunningWorkers, 0);
}

TEST_F(MainWindowTest, DecimalCommaIsAcceptedAndBoundsAreInclusive)
{
    UseTestServerAsProxy();
    OpenWindow();
    TypeSmallArea();
    form->Edit1->setText("12,5");
    form->BitBtn1Click();
    ASSERT_TRUE(dialogs.messages.empty());
    EXPECT_DOUBLE_EQ(C().CurrentTask->Params.LeftLongitude, 12.5);
    EXPECT_EQ(Caption(), "Stop");
    RunToEnd();

    // The whole map at zoom 1: four tiles, four workers.
    form->Edit1->setText("-180");
    form->Edit3->setText("180");
    form->Edit2->setText("85");
    form->Edit4->setText("-85");
    form->UpDown1->SetPosition(1);
    form->EditTaskName->setText("world.kvpd");
    dialogs.messages.clear();
    form->BitBtn1Click();
    ASSERT_TRUE(dialogs.messages.empty()) << dialogs.messages[0];
    EXPECT_EQ(C().CurrentTask->TileCount, 4);
    EXPECT_EQ(C().CurrentTask->Params.ThreadCount, 4);
    EXPECT_EQ(form->LabelTotalxy->text(), "Total images: 4");
    RunToEnd();
    const auto log = LogFileLines();
    EXPECT_NE(std::find(log.begin(), log.end(), "Download threads count: 4"), log.end());
}

// Continue versus afresh: the coordinates are compared with the project file
// as numbers, read as Start reads them; a project that would be replaced is
// asked about first, and No changes nothing.
TEST_F(MainWindowTest, ContinueTestComparesCoordinatesAsNumbers)
{
    UseTestServerAsProxy();
    OpenWindow();
    TypeSmallArea();
    form->Edit1->setText("12.3");
    form->BitBtn1Click();
    ASSERT_FALSE(C().CurrentTask->Params.ContinueTask);
    EXPECT_TRUE(dialogs.questions.empty()); // no project of that name yet
    RunToEnd();

    struct Step {
        const char* left;
        const char* name;
        bool continues;
        const char* taskName;
    };
    const Step steps[] = {
        {"12.3", "newtask.kvpd", true, "newtask.kvpd"},  // typed as the file stores it
        {"12.30", "newtask.kvpd", true, "newtask.kvpd"}, // the same number, respelled
        {"12,3", "newtask.kvpd", true, "newtask.kvpd"},
        {"+12.3", "newtask.kvpd", true, "newtask.kvpd"},
        {" 12.3 ", "newtask.kvpd", true, "newtask.kvpd"},
        {"12.3", "newtask", true, "newtask.kvpd"},       // ".kvpd" appended: the same project
        {"12.4", "newtask.kvpd", false, "newtask.kvpd"}, // another area: asked, Yes
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(s.left) + " " + s.name);
        dialogs.questions.clear();
        dialogs.yesNoAnswers = {true};
        form->Edit1->setText(s.left);
        form->EditTaskName->setText(s.name);
        form->BitBtn1Click();
        ASSERT_TRUE(dialogs.errors.empty());
        ASSERT_EQ(Caption(), "Stop");
        EXPECT_EQ(C().CurrentTask->Params.ContinueTask, s.continues);
        EXPECT_EQ(C().CurrentTask->Params.TaskName, s.taskName);
        EXPECT_EQ(dialogs.questions.size(), s.continues ? 0u : 1u);
        const auto log = LogFileLines();
        const bool continued = std::find(log.begin(), log.end(), "Log continue...") != log.end();
        EXPECT_EQ(continued, s.continues);
        RunToEnd();
    }
    // A new name whose project does not exist yet is not asked about.
    dialogs.questions.clear();
    form->EditTaskName->setText("other.kvpd");
    form->BitBtn1Click();
    EXPECT_TRUE(dialogs.questions.empty());
    RunToEnd();
}

TEST_F(MainWindowTest, NoToTheOverwriteQuestionChangesNothing)
{
    UseTestServerAsProxy();
    OpenWindow();
    TypeSmallArea();
    form->BitBtn1Click();
    RunToEnd();
    const std::string project = C().CurrentTask->ProjectFile();
    const std::string logFile = C().CurrentTask->LogFile;
    const std::string listFile = C().CurrentTask->ListFile;
    const std::string projectBytes = ReadBytes(project);
    const std::string logBytes = ReadBytes(logFile);
    const std::string listBytes = ReadBytes(listFile);
    const auto memo = C().Memo1Lines.ToVector();
    const std::size_t requests = server->RequestCount();
    dialogs.messages.clear();

    form->UpDown1->SetPosition(13); // another zoom level
    dialogs.yesNoAnswers = {false};
    form->BitBtn1Click();

    ASSERT_EQ(dialogs.questions.size(), 1u);
    EXPECT_EQ(dialogs.questions[0],
              "The project newtask.kvpd already exists for another area, zoom level or map type. Start it "
              "afresh? Its log, tile list, failed list and positions will be replaced.");
    EXPECT_EQ(Caption(), "Start");
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(ReadBytes(project), projectBytes);
    EXPECT_EQ(ReadBytes(logFile), logBytes);
    EXPECT_EQ(ReadBytes(listFile), listBytes);
    EXPECT_EQ(C().Memo1Lines.ToVector(), memo);
    EXPECT_EQ(server->RequestCount(), requests);
}

TEST_F(MainWindowTest, SettingsDefaultsWithoutASettingsFile)
{
    const char* oldHome = std::getenv("HOME");
    const std::string saved = oldHome ? oldHome : "";
    setenv("HOME", "/home/tester", 1);
    OpenWindow();
    if (oldHome)
        setenv("HOME", saved.c_str(), 1);

    EXPECT_EQ(form->windowTitle(), "Kartivo 7.21");
    EXPECT_EQ(form->Edit6->text(), "/home/tester/orvanta");
    EXPECT_EQ(form->IniFileName, programFolder.Path() + "ini/config.ini");
    EXPECT_EQ(form->HelpFile, programFolder.Path() + "help/index.html");
    // The controls as the window first shows them.
    EXPECT_EQ(form->EditTaskName->text(), "newtask.kvpd");
    EXPECT_EQ(form->Edit5->text(), "13");
    EXPECT_EQ(form->radio_mapstype->ItemIndex(), 1);
    EXPECT_EQ(Caption(), "Start");
    EXPECT_EQ(C().Memo1Lines.ToVector(), std::vector<std::string>{"[log window]"});
    EXPECT_EQ(C().Memo2Lines.ToVector(), std::vector<std::string>{"[Failed tile inforamtion window]"});
    EXPECT_FALSE(form->Memo2->isVisible());
    EXPECT_EQ(form->StatusPanel->text(), "Download images from Bing Maps!");
    EXPECT_EQ(form->width(), 670);
    EXPECT_EQ(form->height(), 469);
}

TEST_F(MainWindowTest, SettingsAsWritten)
{
    WriteSettings("[IniParas]\r\nDefaultPath=/data/maps\r\nVersion=\r\n");
    OpenWindow();
    EXPECT_EQ(form->windowTitle(), "Kartivo ");
    EXPECT_EQ(form->Edit6->text(), "/data/maps");
    EXPECT_EQ(form->DefaultSavePath, "/data/maps");
}

// "UseProxy" counts only when it reads as exactly 1. The task's tile list is
// written on a thread of its own and no tick comes to finish the Start, so
// no worker starts and no request is ever made, yet the task holds the
// proxy settings.
TEST_F(MainWindowTest, UseProxyMeansExactlyOne)
{
    const std::pair<const char*, bool> cases[] = {{"1", true},   {"2", false}, {"yes", false},
                                                  {"0x1", true}, {"0", false}, {"", false}};
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value);
        WriteSettings(std::string("[Proxy]\r\nUseProxy=") + value +
                      "\r\nProxyServer=proxy.local\r\nProxyPort=3128\r\n");
        OpenWindow();
        TypeSmallArea();
        C().BackgroundListTiles = 0;
        dialogs.messages.clear();
        form->BitBtn1Click();
        ASSERT_TRUE(dialogs.messages.empty()) << dialogs.messages[0];
        ASSERT_TRUE(C().TileListBeingWritten());
        ASSERT_NE(C().CurrentTask, nullptr);
        EXPECT_EQ(C().CurrentTask->Params.UseProxy, expected);
        EXPECT_EQ(C().CurrentTask->Params.ProxyServer, "proxy.local");
        EXPECT_EQ(C().CurrentTask->Params.ProxyPort, "3128");
        EXPECT_EQ(C().RunningWorkers, 0);
        form.reset(); // abandons the list before any worker starts
        std::filesystem::remove_all(savePath);
    }
}

// A task that cannot be made (a file stands where the tile folder would go)
// is told in two boxes, why and then that Start failed; nothing starts.
TEST_F(MainWindowTest, TaskThatCannotBeMadeIsToldInTwoBoxes)
{
    UseTestServerAsProxy();
    OpenWindow();
    TypeSmallArea();
    std::filesystem::create_directories(savePath);
    WriteBytes(savePath + "/newtask", "not a folder");
    form->BitBtn1Click();
    EXPECT_EQ(dialogs.messages,
              (std::vector<std::string>{"Create directory " + savePath + "/newtask/ Failed.",
                                        "Error: Create task failure."}));
    EXPECT_TRUE(dialogs.errors.empty());
    EXPECT_EQ(C().CurrentTask, nullptr);
    EXPECT_EQ(Caption(), "Start");
    EXPECT_EQ(server->RequestCount(), 0u);
}

TEST_F(MainWindowTest, ViewLogFileAndItsDoubleClick)
{
    UseTestServerAsProxy();
    OpenWindow();
    const std::string noTask = "No task running now." + std::string(18, ' ');
    form->Viewlogfile1Click();
    emit form->Memo1->DoubleClicked();
    EXPECT_EQ(dialogs.messages, (std::vector<std::string>{noTask, noTask}));
    EXPECT_TRUE(dialogs.shellOpened.empty());

    TypeSmallArea();
    form->BitBtn1Click();
    RunToEnd();
    dialogs.messages.clear();
    form->Viewlogfile1Click();
    emit form->Memo1->DoubleClicked();
    const std::string logFile = C().CurrentTask->LogFile;
    EXPECT_EQ(dialogs.shellOpened, (std::vector<std::string>{logFile, logFile}));

    std::filesystem::remove(logFile);
    form->Viewlogfile1Click();
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{"No logfile now." + std::string(25, ' ')});
}

// Each menu item, triggered as the user would, opens what it names: the
// real windows as start-up wires them, the sibling programs and the manual
// beside the program, the homepage; a missing file or one nothing can open
// is named in a message box.
TEST_F(MainWindowTest, EveryMenuItemOpensWhatItNames)
{
    OpenWindow();
    const std::string folder = programFolder.Path();

    // Missing files: a message naming each, nothing started.
    form->Mapviewer1->trigger();
    form->CombineImages1->trigger();
    form->Usermanual1->trigger();
    EXPECT_EQ(dialogs.messages, (std::vector<std::string>{MissingFileMessage(folder + "plateview"),
                                                          MissingFileMessage(folder + "platejoin"),
                                                          MissingFileMessage(folder + "help/index.html")}));
    EXPECT_TRUE(dialogs.programsStarted.empty());
    EXPECT_TRUE(dialogs.shellOpened.empty());
    EXPECT_EQ(MissingFileMessage("/p/plateview"), "Cannot find the file:\n/p/plateview");

    // Present: started and opened.
    dialogs.messages.clear();
    WriteBytes(folder + "plateview", "");
    WriteBytes(folder + "platejoin", "");
    std::filesystem::create_directory(folder + "help");
    WriteBytes(folder + "help/index.html", "<html></html>");
    form->Mapviewer1->trigger();
    form->CombineImages1->trigger();
    form->Usermanual1->trigger();
    form->Homepage1->trigger();
    EXPECT_EQ(dialogs.programsStarted,
              (std::vector<std::string>{folder + "plateview", folder + "platejoin"}));
    // No task started or opened yet: the siblings open with nothing (the
    // combiner as a window, not on its command line).
    EXPECT_EQ(dialogs.programArguments, (std::vector<std::vector<std::string>>{{}, {"--window"}}));
    EXPECT_EQ(dialogs.shellOpened, (std::vector<std::string>{folder + "help/index.html", kHomepageLink}));
    EXPECT_TRUE(dialogs.messages.empty());

    // Present, but nothing could open them.
    dialogs.startProgramSucceeds = false;
    dialogs.shellOpenSucceeds = false;
    form->Mapviewer1->trigger();
    form->Usermanual1->trigger();
    form->Homepage1->trigger();
    EXPECT_EQ(dialogs.messages, (std::vector<std::string>{CannotOpenMessage(folder + "plateview"),
                                                          CannotOpenMessage(folder + "help/index.html"),
                                                          CannotOpenMessage(kHomepageLink)}));
    dialogs.messages.clear();

    // The windows: the modal ones are shown modally (closed here once up),
    // the converter and the re-download window beside the main window.
    auto modalShown = [&](QAction* item) {
        QWidget* shown = nullptr;
        QTimer::singleShot(0, [&] {
            shown = QApplication::activeModalWidget();
            if (shown)
                shown->close();
        });
        item->trigger();
        return shown;
    };
    EXPECT_EQ(modalShown(form->Options2)->windowTitle(), "Options");
    EXPECT_EQ(modalShown(form->About1)->windowTitle(), "About");
    for (QAction* item : {form->ConvertLongitudeorLatitudetodegreen1, form->ReDownloadfailedfiles1}) {
        item->trigger();
        QWidget* shown = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w != form.get())
                shown = w;
        ASSERT_NE(shown, nullptr) << item->text().toStdString();
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << item->text().toStdString();
        EXPECT_TRUE(shown->windowTitle().startsWith(
            item == form->ReDownloadfailedfiles1 ? "Re-Download failed files" : "Convert"))
            << shown->windowTitle().toStdString();
        shown->close();
    }
    EXPECT_TRUE(dialogs.messages.empty());

    // Exit closes the window.
    form->Exit1->trigger();
    EXPECT_FALSE(form->isVisible());
}

TEST_F(MainWindowTest, F1OpensTheManual)
{
    std::filesystem::create_directory(programFolder.Path() + "help");
    WriteBytes(programFolder.Path() + "help/index.html", "<html></html>");
    OpenWindow();
    QApplication::setActiveWindow(form.get());
    ASSERT_TRUE(testing::PumpUntil([&] { return QApplication::activeWindow() == form.get(); }));
    // A key as the user types it: QTest passes it through the shortcut map.
    QTest::keyClick(form->Edit1, Qt::Key_F1);
    EXPECT_EQ(dialogs.shellOpened, std::vector<std::string>{programFolder.Path() + "help/index.html"});
}

TEST_F(MainWindowTest, FolderBrowserSetsThePathOrLeavesIt)
{
    OpenWindow();
    form->Edit6->setText("/kept");
    dialogs.browseAnswers = {std::nullopt, std::string("/srv/tiles"), std::string("/")};
    form->Button1Click();
    EXPECT_EQ(form->Edit6->text(), "/kept");
    form->Button1Click();
    EXPECT_EQ(form->Edit6->text(), "/srv/tiles");
    form->Button1Click();
    EXPECT_EQ(form->Edit6->text(), "/");
    EXPECT_EQ(dialogs.browseCaptions, std::vector<std::string>(3, "Select path to save"));
}

TEST_F(MainWindowTest, ZoomStepsWithinOneToTwentyWithoutWrapping)
{
    OpenWindow();
    form->UpDown1->SetPosition(19);
    form->UpDown1->StepUp();
    form->UpDown1->StepUp();
    EXPECT_EQ(form->Edit5->text(), "20");
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QCoreApplication::sendEvent(form->Edit5, &down);
    EXPECT_EQ(form->Edit5->text(), "19");
    form->UpDown1->SetPosition(1);
    form->UpDown1->StepDown();
    EXPECT_EQ(form->Edit5->text(), "1");
    EXPECT_TRUE(form->Edit5->isReadOnly());
}

} // namespace

} // namespace kartivo::ui
