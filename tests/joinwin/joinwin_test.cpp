// The Map Combiner window: a run from the window, its progress and outcome,
// Cancel and closing mid-run leaving nothing behind, and refusals shown as
// message boxes.
#include <QComboBox>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTimer>

#include <filesystem>

#include "join/qt/TfrmJoin.h"
#include "platform/Files.h"
#include "tests/join/JoinFixture.h"

namespace kartivo::join::qt {
namespace {

class JoinWindowTest : public testing::JoinTest {
protected:
    // Runs the event loop until the window reports the end of its run (a
    // minute at most, so that a hang fails instead of blocking the suite).
    join::JoinOutcome WaitForEnd(TfrmJoin& window)
    {
        join::JoinOutcome outcome = join::JoinOutcome::Failed;
        QEventLoop loop;
        QObject::connect(&window, &TfrmJoin::RunEnded, &loop, [&](join::JoinOutcome o) {
            outcome = o;
            loop.quit();
        });
        QTimer::singleShot(60000, &loop, [&] {
            ADD_FAILURE() << "the run did not end";
            loop.quit();
        });
        loop.exec();
        return outcome;
    }
};

TEST_F(JoinWindowTest, CombinesTheChosenProjectAndShowsTheOutcome)
{
    MakeTask(5, 40, 42, 40, 41, 7);
    RemoveTile(40, 40);
    TfrmJoin window;
    EXPECT_FALSE(window.btnCombine->isEnabled());
    dialogs.openAnswers.push_back(dir / "area.kvpd");
    window.btnProject->click();
    EXPECT_EQ(window.editOutput->text().toStdString(), dir / "area.tif");
    EXPECT_EQ(window.lblTask->text().toStdString(),
              "Road (normal map), zoom 7: 3 x 2 tiles, 768 x 512 pixels");
    EXPECT_FALSE(window.spinQuality->isEnabled()); // road tiles: DEFLATE blocks
    window.comboCompress->setCurrentIndex(2);      // JPEG blocks
    EXPECT_TRUE(window.spinQuality->isEnabled());
    window.comboFormat->setCurrentIndex(2); // PNG
    EXPECT_EQ(window.editOutput->text().toStdString(), dir / "area.png");
    EXPECT_FALSE(window.comboCompress->isEnabled());
    window.btnCombine->click();
    EXPECT_FALSE(window.btnCombine->isEnabled());
    EXPECT_EQ(window.btnCancel->text(), "Cancel");
    EXPECT_EQ(WaitForEnd(window), join::JoinOutcome::Done);
    EXPECT_TRUE(std::filesystem::exists(dir / "area.png"));
    EXPECT_TRUE(std::filesystem::exists(dir / "area.pgw"));
    EXPECT_EQ(window.progressBar->value(), 100);
    EXPECT_EQ(window.lblStatus->text().toStdString(),
              "Wrote " + dir / "area.png" +
                  " (768 x 512 pixels). 5 tiles combined, 0 blank substitutes, "
                  "1 left out (1 missing, 0 failed, 0 undecodable): see area.png_report.txt.");
    EXPECT_TRUE(window.btnCombine->isEnabled());
    EXPECT_EQ(window.btnCancel->text(), "Close");
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(JoinWindowTest, CancelAndCloseMidRunLeaveNothing)
{
    MakeTask(5, 40, 59, 40, 59, 7);
    const auto before = SaveFolderNames();
    {
        TfrmJoin window;
        ASSERT_TRUE(window.OpenProject(dir / "area.kvpd"));
        window.btnCombine->click();
        window.btnCancel->click();
        EXPECT_EQ(window.lblStatus->text(), "Cancelling...");
        EXPECT_EQ(WaitForEnd(window), join::JoinOutcome::Cancelled);
        EXPECT_EQ(window.lblStatus->text(), "Cancelled: nothing was written.");
        EXPECT_TRUE(dialogs.messages.empty());
        EXPECT_EQ(SaveFolderNames(), before);

        window.btnCombine->click();
        window.close(); // cancels and waits for the run
        EXPECT_FALSE(window.Running());
    }
    EXPECT_EQ(SaveFolderNames(), before);
}

// A path typed or pasted into the project field opens as Browse does; the
// window is centred, carries Kartivo's icon and writes numbers as Kartivo does.
TEST_F(JoinWindowTest, ATypedProjectPathOpensAndTheWindowLooksLikeKartivo)
{
    MakeTask(5, 40, 43, 40, 40, 7);
    TfrmJoin window;
    EXPECT_FALSE(window.editProject->isReadOnly());
    window.editProject->setText(QString::fromStdString(dir / "area.kvpd"));
    emit window.editProject->editingFinished();
    EXPECT_TRUE(window.btnCombine->isEnabled());
    EXPECT_EQ(window.lblTask->text().toStdString(),
              "Road (normal map), zoom 7: 4 x 1 tiles, 1,024 x 256 pixels");
    EXPECT_EQ(window.editOutput->text().toStdString(), dir / "area.tif");
    // A path that does not open says so and stays in the field to be mended.
    window.editProject->setText(QString::fromStdString(dir / "nothing.kvpd"));
    emit window.editProject->editingFinished();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(window.editProject->text().toStdString(), dir / "nothing.kvpd");

    EXPECT_FALSE(window.windowIcon().availableSizes().isEmpty());
    window.show();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((window.frameGeometry().center() - screen.center()).manhattanLength(), 2);

    window.btnCombine->click();
    EXPECT_EQ(WaitForEnd(window), join::JoinOutcome::Done);
    EXPECT_EQ(window.lblStatus->text().toStdString(),
              "Wrote " + dir / "area.tif" + " (1,024 x 256 pixels). 4 tiles combined, 0 blank substitutes.");
}

// Browse for the output starts at the current output and keeps the format's
// extension on the name chosen.
TEST_F(JoinWindowTest, TheOutputChosenGetsTheFormatsExtension)
{
    MakeTask(5, 40, 41, 40, 40, 7);
    TfrmJoin window;
    ASSERT_TRUE(window.OpenProject(dir / "area.kvpd"));
    dialogs.saveAnswers = {dir / "big", std::nullopt};
    window.btnOutput->click();
    ASSERT_EQ(dialogs.saveRequests.size(), 1u);
    EXPECT_EQ(dialogs.saveRequests[0].title, "Save the combined map as");
    EXPECT_EQ(dialogs.saveRequests[0].filterDescription, "GeoTIFF");
    EXPECT_EQ(dialogs.saveRequests[0].filterPattern, "*.tif");
    EXPECT_EQ(dialogs.saveRequests[0].initialPath, dir / "area.tif");
    EXPECT_EQ(window.editOutput->text().toStdString(), dir / "big.tif");
    window.btnOutput->click(); // cancelled: the output stays
    EXPECT_EQ(window.editOutput->text().toStdString(), dir / "big.tif");
}

// Without a display the window is not attempted: one line, exit 1 (as
// plateview does, where Qt would abort with a message of its own).
TEST(JoinProgram, NoDisplayIsOneLineAndExitOne)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QString::fromStdString(platform::ProgramFolder() + "platejoin"), {"--window"});
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 1);
    EXPECT_EQ(process.readAllStandardError().toStdString(),
              "platejoin: There is no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY is "
              "set).\n");
}

TEST_F(JoinWindowTest, RefusalsAreMessageBoxes)
{
    TfrmJoin window;
    EXPECT_FALSE(window.OpenProject(dir / "absent.kvpd"));
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0], "The project file " + dir / "absent.kvpd" + " does not exist.");

    MakeTask(6, 100, 399, 50, 50, 10, false); // 76,800 pixels wide
    ASSERT_TRUE(window.OpenProject(dir / "area.kvpd"));
    window.comboFormat->setCurrentIndex(3); // JPEG
    window.btnCombine->click();
    EXPECT_FALSE(window.Running());
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_NE(dialogs.messages[1].find("more than a JPEG image can hold"), std::string::npos);
}

} // namespace
} // namespace kartivo::join::qt
