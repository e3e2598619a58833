// The main window while one of its boxes is open: an error box runs a nested
// event loop in which the progress timer keeps firing, and a window that
// closes with a file it cannot write still saves what it can.
#include "tests/ui/MainWindowFixture.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>
#include <utility>

#include "platform/IniFile.h"
#include "platform/qt/QtDialogs.h"

namespace kartivo::ui {

namespace {

// Answers like RecordingDialogs; while the first error box is "open" it runs
// what the nested event loop would run meanwhile.
class NestedLoopDialogs : public platform::RecordingDialogs {
public:
    std::function<void()> whileFirstErrorShown;
    void ShowError(const std::string& text) override
    {
        RecordingDialogs::ShowError(text);
        if (auto nested = std::exchange(whileFirstErrorShown, {}))
            nested();
    }
};

class BoxesTest : public testing::MainWindowTest {
protected:
    void SetUp() override
    {
        testing::MainWindowTest::SetUp();
        platform::SetDialogs(&boxes);
    }
    // The name of the file becomes a folder: every write to it fails.
    static void MakeUnwritable(const std::string& file)
    {
        std::filesystem::remove(file);
        std::filesystem::create_directory(file);
    }
    static void MakeWritableAgain(const std::string& file) { std::filesystem::remove(file); }

    NestedLoopDialogs boxes;
};

} // namespace

// A fifth tick that cannot write the log shows one error box; the ticks that
// fire while it is open wait for it instead of stacking another box on it
// every fifth second.
TEST_F(BoxesTest, TicksDuringTheFifthTickErrorBoxStackNoFurtherBoxes)
{
    const int workers = StartHeldDownload();
    ASSERT_TRUE(testing::PumpUntil([&] { return gate->Waiting() == workers; }));
    const std::string logFile = C().CurrentTask->LogFile;
    MakeUnwritable(logFile);

    boxes.whileFirstErrorShown = [&] {
        for (int i = 0; i < 5; ++i)
            form->Timer1Timer();
    };
    for (int i = 0; i < 5; ++i)
        form->Timer1Timer();

    ASSERT_EQ(boxes.errors.size(), 1u);
    EXPECT_NE(boxes.errors[0].find(logFile), std::string::npos) << boxes.errors[0];
    EXPECT_EQ(C().TimerTicks, 5);

    // Once the box is closed the ticks go on as before.
    MakeWritableAgain(logFile);
    for (int i = 0; i < 5; ++i)
        form->Timer1Timer();
    EXPECT_EQ(boxes.errors.size(), 1u);
    EXPECT_EQ(platform::ReadLines(logFile), C().Memo1Lines.ToVector());
    form->BitBtn1Click();
    gate->Open();
    WaitForWorkersDone();
    form->Timer1Timer();
    EXPECT_EQ(Caption(), "Start");
    EXPECT_EQ(boxes.messages, std::vector<std::string>{"Task stoped!                    "});
}

// Closing mid-download when the project file cannot be written: its error is
// shown, and the log and the failed-tiles list are saved all the same; no
// tick runs while the box is open.
TEST_F(BoxesTest, CloseWithAnUnwritableProjectStillSavesTheLogAndTheFailedList)
{
    const int workers = StartHeldDownload();
    const std::string project = C().CurrentTask->ProjectFile();
    const std::string logFile = C().CurrentTask->LogFile;
    const std::string failedFile = C().CurrentTask->FailedFile;
    ASSERT_TRUE(testing::PumpUntil([&] { return gate->Waiting() == workers; }));
    C().AddFailedLine("/tiles/a.png|http://127.0.0.1/a");
    const auto memoAtClose = C().Memo1Lines.ToVector();
    ASSERT_NE(platform::ReadLines(logFile), memoAtClose);
    MakeUnwritable(project);

    bool timerActiveDuringBox = true;
    boxes.whileFirstErrorShown = [&] { timerActiveDuringBox = form->Timer1->isActive(); };
    form->close();

    ASSERT_EQ(boxes.errors.size(), 1u);
    EXPECT_NE(boxes.errors[0].find(project), std::string::npos) << boxes.errors[0];
    EXPECT_FALSE(timerActiveDuringBox);
    auto expected = memoAtClose;
    expected.push_back(C().Progress.Summary());
    EXPECT_EQ(platform::ReadLines(logFile), expected);
    EXPECT_EQ(platform::ReadLines(failedFile), std::vector<std::string>{"/tiles/a.png|http://127.0.0.1/a"});
    gate->Open();
}

// The standard error box and the question, as the program shows them: the
// message exactly as given (no period added after a path), and a question
// that Esc answers with No.
TEST(QtBoxes, ErrorBoxShowsTheMessageAsGivenAndEscapeAnswersNo)
{
    platform::qt::QtDialogs boxes;
    QString shown;
    auto closeWith = [&](int key) {
        QTimer::singleShot(0, [&, key] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                shown = box->text();
                QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
                QApplication::sendEvent(box, &press);
            }
        });
    };
    closeWith(Qt::Key_Escape);
    boxes.ShowError("Unable to write to /home/u/kartivo/ini/config.ini");
    EXPECT_EQ(shown.toStdString(), "Unable to write to /home/u/kartivo/ini/config.ini");
    closeWith(Qt::Key_Escape);
    boxes.ShowError("Cannot create file /a\nCannot create file /b");
    EXPECT_EQ(shown.toStdString(), "Cannot create file /a\nCannot create file /b");

    closeWith(Qt::Key_Escape);
    EXPECT_FALSE(boxes.AskYesNo("Start it afresh?"));
    EXPECT_EQ(shown.toStdString(), "Start it afresh?");
    closeWith(Qt::Key_Y); // the Yes button's accelerator
    EXPECT_TRUE(boxes.AskYesNo("Start it afresh?"));
}

} // namespace kartivo::ui
