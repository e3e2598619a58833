// The worker's run as a whole: pacing, stop requests, a save that fails,
// existing files, and a proxy port that cannot be used.
#include "tests/download/worker_fixture.h"

#include "platform/FileOps.h"
#include "tests/support/FaultRun.h"

#include <cerrno>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace kartivo::download {

using testing::ScriptedReply;
using testing::WorkerTest;

namespace {

constexpr int kX = 4149, kY = 5373;

// The program's own pacing: ThreadIndex x 100 ms before the first tile and
// 500 ms after each saved tile (retry pauses are pinned by the failure table).
TEST_F(WorkerTest, PacingStaggersByIndexAndPausesAfterEverySavedTile)
{
    MakeTask(kX, kX + 3, kY, kY + 3); // 16 tiles, two per worker
    RunWorkers();
    auto perThread = sleeps_.PerThread();
    ASSERT_EQ(perThread.size(), 8u);
    std::sort(perThread.begin(), perThread.end());
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(perThread[i], (std::vector<int>{i * 100, 500, 500})) << "worker " << i;
}

TEST_F(WorkerTest, StopRequestDuringATileCompletesItFirst)
{
    MakeTask(kX, kX, kY, kY + 2);
    task_->Params.ThreadCount = 1;
    Script(kX, kY, {ScriptedReply::Status(403, "Forbidden")});
    // The stop arrives while the worker pauses before its retry.
    sleeps_.OnPause(1000, [this] { Worker(0).Terminate(); });
    RunWorkers();
    EXPECT_EQ(host_.Log, (std::vector<std::string>{"T1:seq=1," + Name(kX, kY) + " OK", "T1 Finished."}));
    EXPECT_EQ(TotalRequests(), 2u);
    EXPECT_EQ(Worker(0).CurrentPosition(), std::make_pair(kX, kY));
}

// Resets would be retried without end; a stop request ends the tile between
// two retries, without recording it, so a resumed task asks for it again.
TEST_F(WorkerTest, StopRequestEndsEndlessResetsWithoutRecordingTheTile)
{
    MakeTask(kX, kX, kY, kY + 1);
    task_->Params.ThreadCount = 1;
    Script(kX, kY,
           {ScriptedReply::ResetConnection(), ScriptedReply::ResetConnection(),
            ScriptedReply::ResetConnection()});
    OnRequest([this](int, int, int nth) {
        if (nth == 2)
            Worker(0).Terminate();
    });
    RunWorkers();
    EXPECT_EQ(host_.Log, (std::vector<std::string>{"T1 Finished."}));
    EXPECT_TRUE(host_.Failed.empty());
    EXPECT_EQ(TotalRequests(), 2u);
    EXPECT_EQ(Worker(0).CurrentPosition(), std::make_pair(0, 0));
    // No line, yet the tile is reported: stopped, not done.
    ASSERT_EQ(Outcomes().size(), 1u);
    EXPECT_EQ(Outcomes()[0].Outcome, download::TileOutcome::Stopped);
    EXPECT_EQ(Outcomes()[0].Y, kY);
}

// The window closing abandons the workers: a server that never answers is
// not waited for (up to a minute); the tile counts as stopped, is not a
// failure, and a resumed task asks for it again.
TEST_F(WorkerTest, AbandonCutsTheTileInFlightShortWithoutRecordingIt)
{
    MakeTask(kX, kX, kY, kY + 1);
    task_->Params.ThreadCount = 1;
    ScriptedReply silent;
    silent.silent = true;
    Script(kX, kY, {silent});
    OnRequest([this](int, int, int nth) {
        if (nth == 1)
            Worker(0).Abandon();
    });
    RunWorkers();
    EXPECT_EQ(host_.Log, (std::vector<std::string>{"T1 Finished."}));
    EXPECT_TRUE(host_.Failed.empty());
    EXPECT_EQ(TotalRequests(), 1u);
    EXPECT_EQ(Worker(0).CurrentPosition(), std::make_pair(0, 0));
    ASSERT_EQ(Outcomes().size(), 1u);
    EXPECT_EQ(Outcomes()[0].Outcome, download::TileOutcome::Stopped);
    EXPECT_FALSE(Exists(Path(kX, kY)));
}

TEST_F(WorkerTest, StopRequestBeforeTheFirstTileRequestsNothing)
{
    MakeTask(kX, kX + 1, kY, kY + 1);
    sleeps_.OnPause(0, [this] { Worker(0).Terminate(); }); // index 0's stagger
    RunWorkers();
    EXPECT_EQ(LinesOf(0), (std::vector<std::string>{"T1 Finished."}));
    EXPECT_EQ(TotalRequests(), 3u); // the three other workers' tiles
}

// A worker that dies of an unexpected error says why before " Finished.",
// and still counts itself out once; its position stays at its last tile.
TEST_F(WorkerTest, ErrorThatEndsTheScanIsLoggedBeforeTheFinish)
{
    MakeTask(kX, kX, kY, kY + 1);
    task_->Params.ThreadCount = 1;
    // The pause after the first saved tile fails, as running out of memory would.
    sleeps_.OnPause(500, [] { throw std::runtime_error("std::bad_alloc"); });
    RunWorkers();
    EXPECT_EQ(host_.Log,
              (std::vector<std::string>{"T1:seq=1," + Name(kX, kY) + " OK",
                                        "T1 stopped by an error: std::bad_alloc", "T1 Finished."}));
    EXPECT_EQ(TotalRequests(), 1u);
    EXPECT_EQ(Worker(0).CurrentPosition(), std::make_pair(kX, kY));
    EXPECT_FALSE(Worker(0).FatalException());
}

// When the window cannot take the log line either, the error and the failed
// log go to standard error; the finish still runs.
TEST_F(WorkerTest, ErrorThatTheLogCannotTakeGoesToStandardError)
{
    MakeTask(kX, kX, kY, kY);
    task_->Params.ThreadCount = 1;
    sleeps_.OnPause(500, [] { throw std::runtime_error("disk gone"); });
    host_.BeforeLog = [](const std::string& line) {
        if (line.find("stopped by an error") != std::string::npos)
            throw std::runtime_error("window closed");
    };
    ::testing::internal::CaptureStderr();
    RunWorkers();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(host_.Log, (std::vector<std::string>{"T1:seq=1," + Name(kX, kY) + " OK", "T1 Finished."}));
    EXPECT_NE(err.find("T1 scan failed: disk gone\n"), std::string::npos) << err;
    EXPECT_NE(err.find("T1 log failed: window closed\n"), std::string::npos) << err;
}

// A tile that cannot be written never counts as done: " NULL" is logged,
// the failure reported with its cause, and the worker stops with its
// position before the tile (it used to go on, and its next tile's position
// passed the unsaved one).
TEST_F(WorkerTest, FailedSaveLogsNullReportsTheCauseAndStops)
{
    MakeTask(kX, kX, kY, kY + 1);
    task_->Params.ThreadCount = 1;
    std::filesystem::remove_all(task_->TileFolder); // nowhere to write
    RunWorkers();
    EXPECT_EQ(host_.Log, (std::vector<std::string>{"T1:seq=1," + Name(kX, kY) + " NULL", "T1 Finished."}));
    EXPECT_TRUE(host_.Failed.empty());
    EXPECT_EQ(sleeps_.All(), (std::vector<int>{0})); // no pause after a failed save
    EXPECT_EQ(Worker(0).CurrentPosition(), std::make_pair(0, 0));
    EXPECT_EQ(TotalRequests(), 1u);
    ASSERT_EQ(host_.NotSaved.size(), 1u);
    EXPECT_EQ(host_.NotSaved[0].Path, Path(kX, kY));
    EXPECT_EQ(host_.NotSaved[0].Error, ENOENT);
}

// A disk that fills after some tiles: the position stays at the last tile
// on disk, and the user is told in words what to do.
TEST_F(WorkerTest, FullDiskStopsTheWorkerAtTheLastSavedTile)
{
    MakeTask(kX, kX, kY, kY + 3);
    task_->Params.ThreadCount = 1;
    testing::FaultScope scope;
    // A tile's replacing write is five operations: the third tile's fails.
    platform::fileops::ArmFault(11, platform::fileops::FaultKind::FailFromNow, ENOSPC);
    RunWorkers();
    platform::fileops::Disarm();
    EXPECT_EQ(Worker(0).CurrentPosition(), std::make_pair(kX, kY + 1));
    EXPECT_EQ(ReadFile(Path(kX, kY + 1)), TileBody(kX, kY + 1));
    EXPECT_FALSE(Exists(Path(kX, kY + 2)));
    EXPECT_EQ(TotalRequests(), 3u);
    ASSERT_EQ(host_.NotSaved.size(), 1u);
    EXPECT_EQ(host_.NotSaved[0].Error, ENOSPC);
    EXPECT_EQ(host_.NotSaved[0].Message(), "The disk is full: " + task_->TileFolder +
                                               ". Free some space, then press Start to continue the task.");
    EXPECT_TRUE(testing::TempFilesIn(root_).empty());
}

TEST_F(WorkerTest, SavedTileReplacesAnExistingFileAndLeavesNoTemporaryFile)
{
    MakeTask(kX, kX, kY, kY);
    WriteFile(Path(kX, kY), "an older, longer file that must not leave bytes behind");
    RunWorkers();
    EXPECT_EQ(ReadFile(Path(kX, kY)), TileBody(kX, kY));
    int files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(task_->TileFolder))
        ++files;
    EXPECT_EQ(files, 1);
}

// A retry starts from an empty buffer: the error page of a failed attempt
// never ends up in front of the image.
TEST_F(WorkerTest, RetryStartsFromAnEmptyBuffer)
{
    MakeTask(kX, kX, kY, kY);
    Script(kX, kY, {ScriptedReply::Status(404, "Not Found", "<html>error page</html>")});
    RunWorkers();
    EXPECT_EQ(ReadFile(Path(kX, kY)), TileBody(kX, kY));
}

class BadProxyPort : public WorkerTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(BadProxyPort, EveryWorkerLogsItOnceAndFinishes)
{
    MakeTask(kX, kX, kY, kY + 1); // two workers
    task_->Params.ProxyPort = GetParam();
    RunWorkers();
    for (int i = 0; i < 2; ++i) {
        const std::string n = "T" + std::to_string(i + 1);
        EXPECT_EQ(LinesOf(i), (std::vector<std::string>{n + " Error: the proxy port \"" + GetParam() +
                                                            "\" is not a port number.",
                                                        n + " Finished."}));
    }
    EXPECT_EQ(TotalRequests(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Worker, BadProxyPort,
                         ::testing::Values("abc", "", "80x", " 80", "-1", "0", "70000", "99999999999"));

} // namespace
} // namespace kartivo::download
