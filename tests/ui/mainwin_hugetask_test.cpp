// The size of a task told before it starts: the question asked above a
// million tiles, the refusal of a tile list that cannot fit the disk (free
// space injected), and a long tile list written off the main thread, with
// its progress in the status bar, that Stop abandons and a failed write
// removes.
#include "tests/ui/MainWindowFixture.h"

#include <QLabel>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <sys/resource.h>

#include "core/Commonfunc.h"
#include "platform/Formats.h"
#include "ui/TaskSize.h"

namespace kartivo::ui {

namespace {

class HugeTaskTest : public testing::MainWindowTest {
protected:
    // The whole map (as far as Start accepts) at a zoom level.
    void TypeWorld(int zoom, const std::string& name = "world.kvpd")
    {
        form->Edit1->setText("-180");
        form->Edit3->setText("180");
        form->Edit2->setText("85");
        form->Edit4->setText("-85");
        form->UpDown1->SetPosition(zoom);
        form->Edit6->setText(QString::fromStdString(savePath));
        form->EditTaskName->setText(QString::fromStdString(name));
    }
    void SetFreeSpace(std::optional<std::uint64_t> bytes)
    {
        C().FreeSpace = [bytes](const std::string&) { return bytes; };
    }
    // Nothing of the task in the save folder (the folder itself may exist).
    bool NothingMade(const std::string& base)
    {
        for (const char* suffix : {".kvpd", "_list.txt", "_log.txt", "_failed.ftl", ""})
            if (std::filesystem::exists(savePath + "/" + base + suffix))
                return false;
        return TemporaryFiles() == 0;
    }
    // Files being written whole sit under a hidden temporary name until
    // they are complete.
    std::size_t TemporaryFiles() const
    {
        std::size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(savePath)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(".kartivo.", 0) == 0 && name.size() > 4 &&
                name.compare(name.size() - 4, 4, ".tmp") == 0)
                ++count;
        }
        return count;
    }
    std::string Status() const
    {
        return form->LabelProgress->text().replace(QChar(0x00A0), QChar(' ')).toStdString();
    }
    void TickUntilStart()
    {
        ASSERT_TRUE(testing::PumpUntil([&] {
            form->Timer1Timer();
            return Caption() == "Start";
        }));
    }
};

TEST_F(HugeTaskTest, WorldAtZoomThirteenIsAskedAboutAndNoMakesNothing)
{
    OpenWindow();
    SetFreeSpace(40'200'000'000);
    TypeWorld(13);
    form->BitBtn1Click();

    ASSERT_EQ(dialogs.questions.size(), 1u);
    EXPECT_EQ(
        dialogs.questions[0],
        "This task has 66,895,872 tiles. Its tile list needs about 7.1 GB (40.2 GB free) and downloading "
        "takes about 48 days at 16 tiles a second. Start it?");
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(Caption(), "Start");
    EXPECT_EQ(C().CurrentTask, nullptr);
    EXPECT_TRUE(NothingMade("world"));
}

TEST_F(HugeTaskTest, ListThatCannotFitTheDiskIsRefusedWithoutAQuestion)
{
    OpenWindow();
    SetFreeSpace(2'000'000'000);
    TypeWorld(13);
    form->BitBtn1Click();
    EXPECT_TRUE(dialogs.questions.empty());
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0], "This task's tile list needs about 7.1 GB, but the disk of " + savePath +
                                       " has only 2.0 GB free. Choose a smaller area, a lower zoom level or "
                                       "another folder.");
    EXPECT_TRUE(NothingMade("world"));

    // Small tasks too: the list is what does not fit.
    dialogs.messages.clear();
    SetFreeSpace(100);
    TypeSmallArea("small.kvpd");
    form->BitBtn1Click();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_NE(dialogs.messages[0].find("has only 100 bytes free"), std::string::npos) << dialogs.messages[0];
    EXPECT_EQ(Caption(), "Start");
    EXPECT_TRUE(NothingMade("small"));
}

TEST_F(HugeTaskTest, UpToAMillionTilesStartsWithoutAQuestion)
{
    UseTestServerAsProxy();
    OpenWindow();
    SetFreeSpace(std::nullopt); // unknown: not refused
    TypeSmallArea();
    form->BitBtn1Click();
    EXPECT_TRUE(dialogs.questions.empty());
    EXPECT_EQ(Caption(), "Stop");
    RunToEnd();
}

// Yes starts the list on its own thread; the window keeps running its
// events, the status bar counts the lines, and Stop abandons the list: no
// list, no part of one, no project file, and the tile folder this Start
// made is gone again.
TEST_F(HugeTaskTest, StopDuringTheTileListCancelsAndRemovesThePartialList)
{
    OpenWindow();
    SetFreeSpace(std::nullopt);
    std::mutex m;
    std::condition_variable cv;
    bool reached = false, released = false;
    C().OnTileListProgress = [&](std::int64_t lines) {
        if (lines != 4096)
            return;
        std::unique_lock<std::mutex> l(m);
        reached = true;
        cv.notify_all();
        cv.wait(l, [&] { return released; });
    };
    TypeWorld(10);
    const std::int64_t tiles = core::ComputeTileRange(-180, 180, 85, -85, 10).TileCount;
    ASSERT_GT(tiles, kHugeTaskTiles);
    dialogs.yesNoAnswers = {true};
    form->BitBtn1Click();

    ASSERT_EQ(dialogs.questions.size(), 1u);
    EXPECT_EQ(Caption(), "Stop");
    EXPECT_TRUE(C().TileListBeingWritten());
    {
        std::unique_lock<std::mutex> l(m);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(30), [&] { return reached; }));
    }
    const std::string list = C().CurrentTask->ListFile;
    const std::string tileFolder = C().CurrentTask->TileFolder;
    EXPECT_FALSE(std::filesystem::exists(list));
    EXPECT_EQ(TemporaryFiles(), 1u); // the partial list
    EXPECT_TRUE(std::filesystem::is_directory(tileFolder));
    // The main thread is free: a tick shows how far the list has got.
    form->Timer1Timer();
    EXPECT_EQ(Status(), "Writing the tile list: 4,096 of " + platform::GroupThousands(tiles) + " tiles");

    form->BitBtn1Click(); // Stop
    {
        std::lock_guard<std::mutex> l(m);
        released = true;
    }
    cv.notify_all();
    TickUntilStart();

    EXPECT_FALSE(C().TileListBeingWritten());
    EXPECT_EQ(Status(), "Stopped before the download began; the partial tile list was removed.");
    EXPECT_TRUE(NothingMade("world"));
    EXPECT_FALSE(std::filesystem::exists(tileFolder));
    EXPECT_FALSE(C().WorkersInFlight());
    EXPECT_TRUE(dialogs.errors.empty());
    EXPECT_FALSE(form->Timer1->isActive());
}

// A list written off the main thread that completes goes on to the download
// as a short one does.
TEST_F(HugeTaskTest, BackgroundListThatCompletesStartsTheWorkers)
{
    UseTestServerAsProxy();
    OpenWindow();
    C().BackgroundListTiles = 0;
    TypeSmallArea();
    form->BitBtn1Click();
    EXPECT_EQ(Caption(), "Stop");
    ASSERT_TRUE(testing::PumpUntil([&] {
        form->Timer1Timer();
        return !C().TileListBeingWritten();
    }));
    EXPECT_TRUE(platform::FileExists(C().CurrentTask->ListFile));
    EXPECT_TRUE(platform::FileExists(C().CurrentTask->ProjectFile()));
    EXPECT_GT(C().RunningWorkers + static_cast<int>(C().Progress.Done()), 0);
    RunToEnd();
    EXPECT_TRUE(dialogs.errors.empty());
}

// The disk fills while the list is written (a file size limit stands in for
// it): the partial list is removed, the error named, the window back at Start.
TEST_F(HugeTaskTest, FailedBackgroundWriteRemovesThePartialList)
{
    OpenWindow();
    C().BackgroundListTiles = 0;
    TypeLargerArea();
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    form->BitBtn1Click();
    const bool ended = testing::PumpUntil([&] {
        form->Timer1Timer();
        return Caption() == "Start";
    });
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    ASSERT_TRUE(ended);
    ASSERT_EQ(dialogs.errors.size(), 1u);
    EXPECT_EQ(dialogs.errors[0], "Cannot create file " + savePath + "/newtask_list.txt");
    EXPECT_EQ(Status(), "The tile list could not be written; the partial list was removed.");
    EXPECT_TRUE(NothingMade("newtask"));
}

TEST(TaskSizeTexts, BytesAndDurations)
{
    EXPECT_EQ(FormatBytes(0), "0 bytes");
    EXPECT_EQ(FormatBytes(999), "999 bytes");
    EXPECT_EQ(FormatBytes(1500), "1.5 kB");
    EXPECT_EQ(FormatBytes(999'960), "1.0 MB");
    EXPECT_EQ(FormatBytes(7'073'000'000), "7.1 GB");
}

} // namespace

} // namespace kartivo::ui
