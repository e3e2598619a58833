// Whole downloads through the main window with the test server as the proxy:
// a run to its end, Stop and a continued Start, closing the window during a
// download, a file that cannot be written at the end, and opening a project.
#include "tests/ui/MainWindowFixture.h"

#include "core/Commonfunc.h"

#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <set>
#include <system_error>

#include "platform/IniFile.h"

namespace kartivo::ui {

using testing::PumpUntil;
using testing::ReadBytes;

namespace {

int CountEndingWith(const std::vector<std::string>& lines, const std::string& tail)
{
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.size() >= tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
    }));
}

class DownloadTest : public testing::MainWindowTest {
protected:
    std::string Project() { return C().CurrentTask->ProjectFile(); }
    std::vector<std::string> RequestedTargets()
    {
        std::vector<std::string> targets;
        for (const auto& r : server->Requests())
            targets.push_back(r.target);
        return targets;
    }
};

TEST_F(DownloadTest, SmallDownloadRunsToItsEnd)
{
    UseTestServerAsProxy();
    OpenWindow();
    TypeSmallArea();
    form->BitBtn1Click();
    ASSERT_TRUE(dialogs.messages.empty());
    ASSERT_TRUE(dialogs.errors.empty());
    EXPECT_EQ(Caption(), "Stop");
    EXPECT_TRUE(form->Timer1->isActive());
    const task::KvTask& task = *C().CurrentTask;
    const int tiles = task.TileCount;
    ASSERT_GE(tiles, 2);
    EXPECT_EQ(form->LabelTotalxy->text().toStdString(), "Total images: " + std::to_string(tiles));
    // Memo1 shows the log header the task wrote; Memo2 the empty failed list.
    EXPECT_EQ(C().Memo1Lines.ToVector(), platform::ReadLines(task.LogFile));
    EXPECT_EQ(C().Memo2Lines.Count(), 0u);

    WaitForWorkersDone();
    EXPECT_TRUE(dialogs.messages.empty()); // nothing is said before the timer notices
    form->Timer1Timer();

    EXPECT_EQ(Caption(), "Start");
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{"Task stoped!                    "});
    EXPECT_TRUE(dialogs.errors.empty());
    EXPECT_FALSE(C().WorkersInFlight());
    for (const auto& w : C().Workers)
        EXPECT_EQ(w, nullptr);

    // Every tile on disk as served, and requested once.
    for (int x = task.Xmin; x <= task.Xmax; ++x)
        for (int y = task.Ymin; y <= task.Ymax; ++y)
            EXPECT_EQ(ReadBytes(task.GetTileFilePath(x, y)), testing::kTileBody) << x << "," << y;
    EXPECT_EQ(server->RequestCount(), static_cast<std::size_t>(tiles));

    const auto log = LogFileLines();
    EXPECT_EQ(CountEndingWith(log, " OK"), tiles);
    EXPECT_EQ(CountEndingWith(log, " Finished."), C().CurrentTask->Params.ThreadCount);
    ASSERT_GE(log.size(), 7u);
    const std::vector<std::string> tail(log.end() - 7, log.end());
    EXPECT_EQ(tail[0], "");
    EXPECT_EQ(tail[1], std::string(32, '-'));
    EXPECT_EQ(tail[2], "Task Stoped!");
    EXPECT_EQ(tail[3], "");
    EXPECT_EQ(tail[4].rfind("Now time:", 0), 0u);
    EXPECT_EQ(tail[5], "");
    EXPECT_EQ(tail[6], "Log file has been saved as " + task.LogFile);
    // The record files: the tile list has a line per tile after its header.
    EXPECT_EQ(platform::ReadLines(task.ListFile).size(), static_cast<std::size_t>(tiles) + 1);
    // The log file is exactly the memo, and the failed list is empty.
    EXPECT_EQ(log, C().Memo1Lines.ToVector());
    EXPECT_EQ(ReadBytes(task.FailedFile), "");

    // Each worker's last tile is in the project file.
    platform::TIniFile project(Project());
    for (int i = 0; i < C().CurrentTask->Params.ThreadCount; ++i) {
        EXPECT_GT(project.ReadInteger("THREADS", "T" + std::to_string(i + 1) + "X", 0), 0) << i;
        EXPECT_GT(project.ReadInteger("THREADS", "T" + std::to_string(i + 1) + "Y", 0), 0) << i;
    }

    // A further tick after the end says nothing more.
    form->Timer1Timer();
    EXPECT_EQ(dialogs.messages.size(), 1u);
}

TEST_F(DownloadTest, AGivenUpTileGoesToTheFailedList)
{
    UseTestServerAsProxy();
    // The first tile asked for is refused every time; after three requests
    // its worker gives up on it, records it and goes on.
    std::mutex m;
    std::string refused;
    server->SetHandler([&](const testing::RecordedRequest& r) {
        std::lock_guard<std::mutex> lock(m);
        if (refused.empty())
            refused = r.target;
        return r.target == refused ? testing::ScriptedReply::Status(500, "Internal Server Error")
                                   : testing::ScriptedReply::Ok(testing::kTileBody);
    });
    OpenWindow();
    TypeSmallArea();
    form->BitBtn1Click();
    RunToEnd();
    const auto failed = platform::ReadLines(C().CurrentTask->FailedFile);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed, C().Memo2Lines.ToVector());
    const task::FailedEntry entry = task::SplitFailedLine(failed[0]);
    EXPECT_EQ(entry.Url, refused);
    EXPECT_EQ(entry.Path.rfind(C().CurrentTask->TileFolder, 0), 0u);
}

// A server that takes requests and never answers holds each worker for its
// client's time limit (a minute); closing the window cuts those requests
// short instead of waiting for them, and records none of the tiles as failed.
TEST_F(DownloadTest, ClosingWhileTheServerNeverAnswersEndsTheWorkersAtOnce)
{
    UseTestServerAsProxy();
    server->SetHandler([](const testing::RecordedRequest&) {
        testing::ScriptedReply silent;
        silent.silent = true;
        return silent;
    });
    OpenWindow();
    TypeSmallArea();
    form->BitBtn1Click();
    const int busy = std::min<int>(C().CurrentTask->Params.ThreadCount, C().CurrentTask->TileCount);
    ASSERT_TRUE(server->WaitForRequests(static_cast<std::size_t>(busy)));
    const std::string failedFile = C().CurrentTask->FailedFile;
    const auto t0 = std::chrono::steady_clock::now();
    form->close();
    form.reset(); // joins the workers
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    EXPECT_TRUE(platform::ReadLines(failedFile).empty());
}

// Stop asks every worker to stop after its tile; the positions saved at the
// end make the next Start of the same project take only the tiles not yet done.
TEST_F(DownloadTest, StopThenStartContinuesEachWorkerAfterItsLastTile)
{
    const int workers = StartHeldDownload();
    ASSERT_EQ(Caption(), "Stop");
    const int tiles = C().CurrentTask->TileCount;
    ASSERT_EQ(workers, 8);
    ASSERT_GE(tiles, 2 * workers);
    ASSERT_TRUE(PumpUntil([&] { return gate->Waiting() == workers; }));

    form->BitBtn1Click(); // Stop
    form->BitBtn1Click(); // twice: the lines twice, the end once
    EXPECT_EQ(Caption(), "Stop");
    const auto lines = C().Memo1Lines.ToVector();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Thread1will be terminated by user. please wait..."), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Thread8will be terminated by user. please wait..."), 2);
    gate->Open();
    RunToEnd();
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{"Task stoped!                    "});
    EXPECT_EQ(server->RequestCount(), static_cast<std::size_t>(workers));

    // The first tile of each worker's share, by the share rule.
    const task::KvTask& first = *C().CurrentTask;
    platform::TIniFile project(Project());
    const int h = first.Ymax - first.Ymin + 1;
    for (int i = 0; i < workers; ++i) {
        const int seq = i == 0 ? workers : i; // worker 0 takes N, 2N, ...
        const int x = first.Xmin + (seq - 1) / h;
        const int y = first.Ymin + (seq - 1) % h;
        EXPECT_EQ(project.ReadInteger("THREADS", "T" + std::to_string(i + 1) + "X", 0), x) << i;
        EXPECT_EQ(project.ReadInteger("THREADS", "T" + std::to_string(i + 1) + "Y", 0), y) << i;
    }

    // Start again, same input: it continues, and every tile ends up requested once.
    dialogs.messages.clear();
    form->BitBtn1Click();
    ASSERT_TRUE(C().CurrentTask->Params.ContinueTask);
    RunToEnd();
    const auto targets = RequestedTargets();
    EXPECT_EQ(targets.size(), static_cast<std::size_t>(tiles));
    EXPECT_EQ(std::set<std::string>(targets.begin(), targets.end()).size(), targets.size());
    const auto log = LogFileLines();
    EXPECT_EQ(CountEndingWith(log, " OK"), tiles);
    EXPECT_EQ(std::count(log.begin(), log.end(), "Log continue..."), 1);
}

// The periodic save: positions every fifth tick, and the log file always
// exactly the memo's lines, whether the save appended or rewrote it.
TEST_F(DownloadTest, EveryFifthTickSavesPositionsAndMemos)
{
    const int workers = StartHeldDownload();
    ASSERT_TRUE(PumpUntil([&] { return gate->Waiting() == workers; }));
    const std::string logBefore = ReadBytes(C().CurrentTask->LogFile);
    for (int i = 0; i < 4; ++i)
        form->Timer1Timer();
    EXPECT_EQ(ReadBytes(C().CurrentTask->LogFile), logBefore);
    EXPECT_EQ(platform::TIniFile(Project()).ReadString("THREADS", "T1X", "absent"), "");

    form->Timer1Timer(); // the fifth
    EXPECT_EQ(LogFileLines(), C().Memo1Lines.ToVector());
    EXPECT_NE(platform::TIniFile(Project()).ReadString("THREADS", "T1X", ""), "");
    EXPECT_EQ(C().TimerTicks, 5);

    form->BitBtn1Click();
    gate->Open();
    RunToEnd();
}

// A log file that cannot be written while the task ends: the error is shown,
// and the end is finished all the same.
TEST_F(DownloadTest, UnwritableLogAndFailedListAtTheEndAreBothNamed)
{
    UseTestServerAsProxy();
    OpenWindow();
    TypeSmallArea();
    form->BitBtn1Click();
    WaitForWorkersDone();
    const std::string logFile = C().CurrentTask->LogFile;
    const std::string failedFile = C().CurrentTask->FailedFile;
    for (const std::string& f : {logFile, failedFile}) {
        std::filesystem::remove(f);
        std::filesystem::create_directory(f); // the file's name is now a folder
    }

    form->Timer1Timer();

    // One box that names both files, each message as the platform gave it.
    ASSERT_EQ(dialogs.errors.size(), 1u);
    EXPECT_EQ(dialogs.errors[0], "Cannot create file " + logFile + "\nCannot create file " + failedFile);
    EXPECT_EQ(Caption(), "Start");
    EXPECT_FALSE(form->Timer1->isActive());
    for (const auto& w : C().Workers)
        EXPECT_EQ(w, nullptr);
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{"Task stoped!                    "});
    // The positions wait for the lines that tell what became of their tiles.
    EXPECT_EQ(platform::TIniFile(Project()).ReadInteger("THREADS", "T1X", 0), 0);
}

// Closing the window mid-download saves what a fifth tick would save and
// lets the workers go; the next Start of the project continues.
TEST_F(DownloadTest, ClosingDuringADownloadLosesNothingTheLastSaveHad)
{
    const int workers = StartHeldDownload();
    const int tiles = C().CurrentTask->TileCount;
    const std::string logFile = C().CurrentTask->LogFile;
    const std::string project = Project();
    ASSERT_TRUE(PumpUntil([&] { return gate->Waiting() == workers; }));
    auto memoAtClose = C().Memo1Lines.ToVector();
    Advance(std::chrono::seconds(75));

    form->close(); // no tick has saved anything yet

    // Saved with one more line: how far the task got, and that Start goes on.
    memoAtClose.push_back(
        "Summary: 8 of 24 tiles done in 1 min 15 s: 8 saved, 0 blank, 0 failed, "
        "0 not saved. 16 tiles left: Start continues the task.");
    ASSERT_EQ(workers, 8);
    ASSERT_EQ(tiles, 24);
    EXPECT_EQ(platform::ReadLines(logFile), memoAtClose);
    platform::TIniFile ini(project);
    for (int i = 1; i <= workers; ++i)
        EXPECT_GT(ini.ReadInteger("THREADS", "T" + std::to_string(i) + "X", 0), 0) << i;
    EXPECT_TRUE(dispatcher->IsShutDown());
    // The workers are asked to stop and are not waited for: still held here,
    // they end without a further tile once let go.
    gate->Open();
    form.reset();
    EXPECT_EQ(server->RequestCount(), static_cast<std::size_t>(workers));

    // A new program run continues the project.
    dispatcher = std::make_unique<platform::qt::QtMainDispatcher>();
    platform::SetMainDispatcher(dispatcher.get());
    OpenWindow();
    TypeLargerArea();
    form->BitBtn1Click();
    ASSERT_TRUE(C().CurrentTask->Params.ContinueTask);
    RunToEnd();
    EXPECT_EQ(server->RequestCount(), static_cast<std::size_t>(tiles));
    const auto log = LogFileLines();
    ASSERT_GE(log.size(), memoAtClose.size());
    EXPECT_TRUE(std::equal(memoAtClose.begin(), memoAtClose.end(), log.begin()));
}

// ---- opening a project ------------------------------------------------------

class OpenProjectTest : public testing::MainWindowTest {
protected:
    std::string WriteProject(const std::string& name, const std::string& text)
    {
        std::filesystem::create_directories(savePath);
        const std::string path = savePath + "/" + name;
        testing::WriteBytes(path, text);
        return path;
    }
};

TEST_F(OpenProjectTest, RestoresEveryFieldAsTheFileHoldsIt)
{
    WriteSettings("[IniParas]\r\nDefaultPath=" + savePath + "\r\n");
    OpenWindow();
    form->Edit6->setText("/changed/by/hand");
    const std::string path = WriteProject(
        "road.kvpd",
        "[MapsType]\r\nMapsType=21\r\n\r\n[AREA]\r\nLeftLongitude=-122.5\r\nRightLongitude=-122,25\r\n"
        "TopLatitude=48.8566\r\nBottomLatitude=abc\r\n\r\n[Zoom]\r\nZoom=25\r\n");
    dialogs.openAnswers = {path};

    form->LoadParametersfromprojectfilel1Click();

    ASSERT_EQ(dialogs.openRequests.size(), 1u);
    EXPECT_EQ(dialogs.openRequests[0].title, "Open project file:");
    EXPECT_EQ(dialogs.openRequests[0].filterDescription, "Projects(*.kvpd)");
    EXPECT_EQ(dialogs.openRequests[0].filterPattern, "*.kvpd");
    EXPECT_EQ(dialogs.openRequests[0].initialDir, savePath); // the default folder, not Edit6
    EXPECT_EQ(form->Edit1->text(), "-122.5");
    EXPECT_EQ(form->Edit3->text(), "-122,25");
    EXPECT_EQ(form->Edit2->text(), "48.8566");
    EXPECT_EQ(form->Edit4->text(), "abc");
    EXPECT_EQ(form->Edit6->text().toStdString(), savePath + "/");
    EXPECT_EQ(form->EditTaskName->text(), "road.kvpd");
    EXPECT_EQ(form->radio_mapstype->ItemIndex(), 3);
    EXPECT_EQ(form->Edit5->text(), "25");     // shown as read
    EXPECT_EQ(form->UpDown1->Position(), 20); // the up-down keeps its range
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(OpenProjectTest, AbsentKeysUnknownCodeAndCancel)
{
    OpenWindow();
    form->radio_mapstype->SetItemIndex(4);
    const std::string path = WriteProject("bare.KVPD", "[MapsType]\r\nMapsType=99\r\n");
    dialogs.openAnswers = {path, std::nullopt};

    form->LoadParametersfromprojectfilel1Click();
    EXPECT_EQ(form->Edit1->text(), "");
    EXPECT_EQ(form->Edit5->text(), "0");
    EXPECT_EQ(form->UpDown1->Position(), 1);
    EXPECT_EQ(form->radio_mapstype->ItemIndex(), 4); // unknown code: selection kept
    EXPECT_EQ(form->EditTaskName->text(), "bare.KVPD");

    form->Edit1->setText("kept");
    form->LoadParametersfromprojectfilel1Click(); // cancelled
    EXPECT_EQ(form->Edit1->text(), "kept");
    EXPECT_EQ(form->EditTaskName->text(), "bare.KVPD");
}

TEST_F(OpenProjectTest, AnOpenedProjectStartsAsAContinuation)
{
    UseTestServerAsProxy();
    OpenWindow();
    TypeSmallArea();
    form->radio_mapstype->SetItemIndex(0);
    form->BitBtn1Click();
    RunToEnd();
    const std::string project = C().CurrentTask->ProjectFile();

    form->Edit1->clear();
    form->radio_mapstype->SetItemIndex(2);
    form->UpDown1->SetPosition(3);
    dialogs.openAnswers = {project};
    form->LoadParametersfromprojectfilel1Click();
    EXPECT_EQ(form->radio_mapstype->ItemIndex(), 0);
    EXPECT_EQ(form->Edit5->text(), "12");
    form->BitBtn1Click();
    EXPECT_TRUE(C().CurrentTask->Params.ContinueTask);
    RunToEnd();
}

// After Open task, "Total images" and the Tools menu are about the opened
// project, not about the task started before it.
TEST_F(OpenProjectTest, TotalImagesAndToolsFollowTheOpenedProject)
{
    UseTestServerAsProxy();
    OpenWindow();
    const std::string folder = programFolder.Path();
    testing::WriteBytes(folder + "plateview", "");
    testing::WriteBytes(folder + "platejoin", "");
    TypeSmallArea();
    form->BitBtn1Click();
    RunToEnd();
    dialogs.messages.clear();
    const std::string started = C().CurrentTask->ProjectFile();
    const std::string startedTotal = form->LabelTotalxy->text().toStdString();
    form->Mapviewer1->trigger();
    EXPECT_EQ(dialogs.programArguments.back(), std::vector<std::string>{started});

    // The whole map at zoom 13: 67,108,864 columns x rows, in the range
    // that Start accepts (-85 to 85: 8192 x 8192 less the polar rows).
    const std::string world =
        WriteProject("world.kvpd",
                     "[MapsType]\r\nMapsType=6\r\n\r\n[AREA]\r\nLeftLongitude=-180\r\nRightLongitude=180\r\n"
                     "TopLatitude=85\r\nBottomLatitude=-85\r\n\r\n[Zoom]\r\nZoom=13\r\n");
    dialogs.openAnswers = {world};
    form->LoadParametersfromprojectfilel1Click();
    const std::int64_t count = core::ComputeTileRange(-180, 180, 85, -85, 13).TileCount;
    EXPECT_EQ(count, 66895872);
    EXPECT_EQ(form->LabelTotalxy->text(), "Total images: 66,895,872");
    EXPECT_NE(form->LabelTotalxy->text().toStdString(), startedTotal);
    form->Mapviewer1->trigger();
    form->CombineImages1->trigger();
    EXPECT_EQ(dialogs.programsStarted.back(), folder + "platejoin");
    EXPECT_EQ(dialogs.programArguments.back(), (std::vector<std::string>{"--window", world}));
    EXPECT_EQ(dialogs.programArguments[dialogs.programArguments.size() - 2], std::vector<std::string>{world});

    // A project whose area Start would refuse shows no count at all.
    const std::string bad = WriteProject("bad.kvpd", "[AREA]\r\nLeftLongitude=abc\r\n[Zoom]\r\nZoom=13\r\n");
    dialogs.openAnswers = {bad};
    form->LoadParametersfromprojectfilel1Click();
    EXPECT_EQ(form->LabelTotalxy->text(), "");
    EXPECT_TRUE(dialogs.messages.empty());
}

} // namespace

// A worker that cannot be made: the error is shown, the workers already made
// are asked to stop, and the timer ends the task as usual.
TEST_F(DownloadTest, AWorkerThatCannotBeMadeEndsTheTaskThroughTheTimer)
{
    UseTestServerAsProxy();
    OpenWindow();
    TypeLargerArea();
    auto make = C().MakeWorker;
    C().MakeWorker = [make](int index, const task::KvTask& task,
                            download::IWorkerHost& host) -> std::unique_ptr<download::TDownThread> {
        if (index == 3)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "cannot start a thread");
        return make(index, task, host);
    };
    form->BitBtn1Click();

    ASSERT_EQ(dialogs.errors.size(), 1u);
    EXPECT_NE(dialogs.errors[0].find("cannot start a thread"), std::string::npos) << dialogs.errors[0];
    EXPECT_EQ(Caption(), "Stop");
    EXPECT_TRUE(form->Timer1->isActive());
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(C().Workers[i], nullptr);
        EXPECT_TRUE(C().Workers[i]->Terminated());
    }
    for (int i = 3; i < task::kThreadSlots; ++i)
        EXPECT_EQ(C().Workers[i], nullptr);

    RunToEnd();
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{"Task stoped!                    "});
    EXPECT_FALSE(form->Timer1->isActive());
    const auto log = LogFileLines();
    EXPECT_EQ(CountEndingWith(log, " Finished."), 3);
    EXPECT_EQ(log.back(), "Log file has been saved as " + C().CurrentTask->LogFile);
    EXPECT_EQ(CountEndingWith(log, "Start continues the task."), 1);
    // A later press starts the task again, this time whole.
    C().MakeWorker = make;
    form->BitBtn1Click();
    EXPECT_EQ(Caption(), "Stop");
    RunToEnd();
    EXPECT_EQ(CountEndingWith(LogFileLines(), " Finished."), 3 + 8);
}

} // namespace kartivo::ui
