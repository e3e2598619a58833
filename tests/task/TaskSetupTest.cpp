#include "TaskFixture.h"

#include "platform/Files.h"
#include "platform/IniFile.h"
#include "tests/support/FileBytes.h"

#include <filesystem>
#include <set>

namespace kartivo::task {

using testing::ReadBytes;
using testing::TaskTest;
using testing::WriteBytes;

namespace {

int EntriesIn(const std::string& folder)
{
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        (void)e;
        ++n;
    }
    return n;
}

TEST_F(TaskTest, WorkedExampleTaskIsOneRoadTile)
{
    UseWorkedExample();
    auto task = KvTask::Create(params).Task;
    ASSERT_TRUE(task);
    // The task keeps its own copy: the caller's parameters may go or change.
    params.TaskName = "other.kvpd";
    EXPECT_EQ(task->Params.TaskName, "newtask.kvpd");
    EXPECT_EQ(task->Xmin, 4149);
    EXPECT_EQ(task->Xmax, 4149);
    EXPECT_EQ(task->Ymin, 5373);
    EXPECT_EQ(task->Ymax, 5373);
    EXPECT_EQ(task->TileCount, 1);
    EXPECT_EQ(task->West, 2.3291015625);
    EXPECT_EQ(task->East, 2.373046875);
    EXPECT_EQ(task->TileWidth, 256);
    EXPECT_EQ(task->TileHeight, 256);
    EXPECT_EQ(task->GetTileExt(), "png");
    EXPECT_EQ(task->GetTileFileName(4149, 5373), "mn_4149_5373_13.png");
    EXPECT_EQ(task->GetTileFilePath(4149, 5373), dir / "newtask/mn_4149_5373_13.png");
    EXPECT_EQ(task->GetTileUrl(4149, 5373),
              "http://r1.ortho.tiles.virtualearth.net/tiles/r1202200110121.png?g=909");
    EXPECT_EQ(task->ProjectFile(), dir / "newtask.kvpd");
    EXPECT_EQ(task->LogFile, dir / "newtask_log.txt");
    EXPECT_EQ(task->FailedFile, dir / "newtask_failed.ftl");
    EXPECT_EQ(task->ListFile, dir / "newtask_list.txt");
    EXPECT_EQ(task->TileFolder, dir / "newtask/");
    EXPECT_TRUE(platform::DirectoryExists(task->TileFolder));
    EXPECT_EQ(task->Params.ThreadCount, 1); // no more workers than tiles
    for (int i = 0; i < kThreadSlots; ++i) {
        EXPECT_EQ(task->ResumeX[i], 0);
        EXPECT_EQ(task->ResumeY[i], 0);
    }
}

TEST_F(TaskTest, BirdsEyeTilesAre180High)
{
    UseWorkedExample();
    params.MapsType = 21;
    auto task = KvTask::Create(params).Task;
    ASSERT_TRUE(task);
    EXPECT_EQ(task->TileHeight, 180);
    EXPECT_EQ(task->GetTileExt(), "jpg");
}

TEST_F(TaskTest, NamesComeFromTheTaskNameUpToItsLastDot)
{
    UseWorkedExample();
    params.TaskName = "a.b.kvpd";
    auto task = KvTask::Create(params).Task;
    ASSERT_TRUE(task);
    EXPECT_EQ(task->TileFolder, dir / "a.b/");
    EXPECT_EQ(task->LogFile, dir / "a.b_log.txt");
    EXPECT_EQ(task->ListFile, dir / "a.b_list.txt");
    EXPECT_EQ(task->FailedFile, dir / "a.b_failed.ftl");
    EXPECT_EQ(task->ProjectFile(), dir / "a.b.kvpd");
}

TEST_F(TaskTest, ExistingTileFolderIsKeptWithItsFiles)
{
    UseWorkedExample();
    ASSERT_TRUE(platform::CreateDir(dir / "newtask"));
    WriteBytes(dir / "newtask/mn_4149_5373_13.png", "tile");
    ASSERT_TRUE(KvTask::Create(params).Task);
    EXPECT_EQ(ReadBytes(dir / "newtask/mn_4149_5373_13.png"), "tile");
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(TaskTest, TileFolderThatCannotBeCreated)
{
    UseWorkedExample();
    params.SavePath = dir / "missing/";
    const TaskOrError made = KvTask::Create(params);
    EXPECT_FALSE(made.Task);
    EXPECT_EQ(made.Error, "Create directory " + dir / "missing/newtask/" + " Failed.");
    EXPECT_TRUE(dialogs.messages.empty()); // the caller shows it
    EXPECT_EQ(EntriesIn(dir.Path()), 0);
}

TEST_F(TaskTest, TooManyTilesAreRefusedBeforeAnythingIsCreated)
{
    // The accepted world at zoom 20: about 1.1 * 10^12 tiles.
    params.LeftLongitude = -180;
    params.RightLongitude = 180;
    params.TopLatitude = 85;
    params.BottomLatitude = -85;
    params.Zoom = 20;
    for (const TaskOrError& refused : {KvTask::Create(params), KvTask::Describe(params)}) {
        EXPECT_FALSE(refused.Task);
        EXPECT_EQ(refused.Error, kTooManyTilesMessage);
    }
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(EntriesIn(dir.Path()), 0);
}

TEST_F(TaskTest, TileCountLimitIsThirtyOneBits)
{
    // 2^20 columns times 2048 rows is 2^31 tiles: one too many. 2047 rows fit.
    UseTiles(0, (1 << 20) - 1, 500000, 500000 + 2047, 20);
    params.LeftLongitude = -180;
    params.RightLongitude = 180;
    EXPECT_EQ(KvTask::Create(params).Error, kTooManyTilesMessage);
    EXPECT_EQ(EntriesIn(dir.Path()), 0);

    UseTiles(0, (1 << 20) - 1, 500000, 500000 + 2046, 20);
    params.LeftLongitude = -180;
    params.RightLongitude = 180;
    auto task = KvTask::Create(params).Task;
    ASSERT_TRUE(task);
    EXPECT_EQ(task->TileCount, 2147483647 - 1048575);
    EXPECT_EQ(task->SequenceNumber(task->Xmax, task->Ymax), task->TileCount);
    EXPECT_EQ(task->Params.ThreadCount, 8);
}

TEST_F(TaskTest, ContinuedTaskReadsSavedPositions)
{
    UseTiles(100, 104, 200, 209, 10);
    platform::TIniFile project(dir / "newtask.kvpd");
    project.WriteInteger("THREADS", "T1X", 101);
    project.WriteInteger("threads", "t1y", 200);
    project.WriteString("THREADS", "T2X", "0x66"); // 102
    project.WriteString("THREADS", "T2Y", "205");
    project.WriteString("THREADS", "T3X", "0"); // column 0: no position
    project.WriteString("THREADS", "T3Y", "205");
    project.WriteString("THREADS", "T4X", "103"); // row 0: no position
    project.WriteString("THREADS", "T4Y", "0");
    project.WriteString("THREADS", "T5X", "junk"); // not an integer: 0
    project.WriteString("THREADS", "T5Y", "201");
    project.WriteString("THREADS", "T8X", "104");
    project.WriteString("THREADS", "T8Y", "209");
    params.ContinueTask = true;
    auto task = KvTask::Create(params).Task;
    ASSERT_TRUE(task);
    ASSERT_EQ(task->TileCount, 50);
    EXPECT_EQ(task->ResumeX[0], 101);
    EXPECT_EQ(task->ResumeY[0], 200);
    EXPECT_EQ(task->ResumeX[1], 102);
    EXPECT_EQ(task->ResumeX[4], 0);
    EXPECT_EQ(task->ResumeY[5], 0); // T6 absent
    // H = 10: slot 1 (worker 0) finished sequence number 11.
    EXPECT_EQ(task->SkipCount(0), 11);
    EXPECT_EQ(task->SkipCount(1), 26);
    EXPECT_EQ(task->SkipCount(2), 0);
    EXPECT_EQ(task->SkipCount(3), 0);
    EXPECT_EQ(task->SkipCount(4), 0);
    EXPECT_EQ(task->SkipCount(5), 0);
    EXPECT_EQ(task->SkipCount(7), 50);
    EXPECT_EQ(task->SkipCount(-1), 0);
    EXPECT_EQ(task->SkipCount(kThreadSlots), 0);
    // Worker 0 resumes with its next tile after 11: sequence number 16.
    std::int64_t next = 0;
    for (int x = task->Xmin; x <= task->Xmax && !next; ++x)
        for (int y = task->Ymin; y <= task->Ymax && !next; ++y) {
            std::int64_t s = task->SequenceNumber(x, y);
            if (s > task->SkipCount(0) && KvTask::BelongsToWorker(s, 0, params.ThreadCount))
                next = s;
        }
    EXPECT_EQ(next, 16);
}

TEST_F(TaskTest, NewTaskIgnoresSavedPositions)
{
    UseTiles(100, 104, 200, 209, 10);
    platform::TIniFile(dir / "newtask.kvpd").WriteInteger("THREADS", "T1X", 101);
    platform::TIniFile(dir / "newtask.kvpd").WriteInteger("THREADS", "T1Y", 200);
    auto task = KvTask::Create(params).Task;
    ASSERT_TRUE(task);
    EXPECT_EQ(task->ResumeX[0], 0);
    EXPECT_EQ(task->SkipCount(0), 0);
}

TEST_F(TaskTest, SequenceNumbersFollowTheScan)
{
    UseTiles(100, 104, 200, 209, 10);
    auto task = KvTask::Create(params).Task;
    ASSERT_TRUE(task);
    std::int64_t expected = 1;
    for (int x = 100; x <= 104; ++x)
        for (int y = 200; y <= 209; ++y)
            EXPECT_EQ(task->SequenceNumber(x, y), expected++);
}

struct ShareCase {
    int tiles;
    int workers;
    std::vector<std::vector<std::int64_t>> shares; // by worker index
};

void PrintTo(const ShareCase& c, std::ostream* os)
{
    *os << c.tiles << " tiles, " << c.workers << " workers";
}

class ShareRule : public ::testing::TestWithParam<ShareCase> {};

TEST_P(ShareRule, EveryTileHasExactlyOneWorker)
{
    const ShareCase& c = GetParam();
    std::vector<std::vector<std::int64_t>> got(static_cast<std::size_t>(c.workers));
    for (std::int64_t s = 1; s <= c.tiles; ++s) {
        int owners = 0;
        for (int w = 0; w < c.workers; ++w)
            if (KvTask::BelongsToWorker(s, w, c.workers)) {
                got[static_cast<std::size_t>(w)].push_back(s);
                ++owners;
            }
        EXPECT_EQ(owners, 1) << "tile " << s;
    }
    EXPECT_EQ(got, c.shares);
}

// The count of a worker's tiles up to a sequence number is the share rule
// counted, for every worker and every prefix of a few scans.
TEST(ShareRuleCount, AgreesWithTheRuleTileByTile)
{
    for (int workers = 1; workers <= kThreadSlots; ++workers)
        for (int w = 0; w < workers; ++w) {
            std::int64_t own = 0;
            for (std::int64_t seq = 0; seq <= 40; ++seq) {
                if (seq > 0 && KvTask::BelongsToWorker(seq, w, workers))
                    ++own;
                ASSERT_EQ(KvTask::WorkerTilesUpTo(seq, w, workers), own)
                    << seq << " " << w << " of " << workers;
            }
        }
}

// A continued task: the tiles its workers pass over by their saved positions
// are the ones done before, each counted once.
TEST_F(TaskTest, TilesDoneBeforeAreTheSkippedTilesOfEachWorker)
{
    UseTiles(100, 104, 200, 209, 10); // 50 tiles, H = 10
    params.ContinueTask = true;
    params.ThreadCount = 3;
    auto task = KvTask::Describe(params).Task;
    ASSERT_TRUE(task);
    EXPECT_EQ(task->TilesDoneBefore(), 0);
    task->ResumeX[0] = 101; // sequence number 11: worker 0 owns 3, 6, 9
    task->ResumeY[0] = 200;
    task->ResumeX[2] = 104; // 50: worker 2 owns 2, 5, ..., 50 (17 tiles)
    task->ResumeY[2] = 209;
    task->ResumeX[5] = 104; // a slot beyond the worker count counts nothing
    task->ResumeY[5] = 209;
    EXPECT_EQ(task->TilesDoneBefore(), 3 + 17);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShareRule,
    ::testing::Values(
        ShareCase{
            20, 8, {{8, 16}, {1, 9, 17}, {2, 10, 18}, {3, 11, 19}, {4, 12, 20}, {5, 13}, {6, 14}, {7, 15}}},
        ShareCase{3, 3, {{3}, {1}, {2}}}, ShareCase{1, 1, {{1}}}, ShareCase{5, 1, {{1, 2, 3, 4, 5}}}));

} // namespace

} // namespace kartivo::task
