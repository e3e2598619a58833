// Which tiles each worker takes: the share rule over the scan order
// (columns outer, rows south to north) and the resume skip.
#include "tests/download/worker_fixture.h"

#include <set>

namespace kartivo::download {

using testing::ScriptedReply;
using testing::WorkerTest;

namespace {

struct ShareCase {
    const char* name;
    int columns, rows;
    std::map<int, std::vector<long long>> seqsOfWorker;
};

class ShareRule : public WorkerTest, public ::testing::WithParamInterface<ShareCase> {};

TEST_P(ShareRule, EachTileIsTakenOnceByTheWorkerOfItsSequenceNumber)
{
    const ShareCase& c = GetParam();
    const int x0 = 4149, y0 = 5373;
    MakeTask(x0, x0 + c.columns - 1, y0, y0 + c.rows - 1);
    ASSERT_EQ(task_->Params.ThreadCount, static_cast<int>(c.seqsOfWorker.size()));
    RunWorkers();

    for (const auto& [index, seqs] : c.seqsOfWorker) {
        EXPECT_EQ(SavedSeqs(index), seqs) << "worker " << index;
        // Each saved line names the tile of that sequence number.
        std::vector<std::string> expected;
        std::pair<int, int> last{0, 0};
        for (long long s : seqs) {
            const int x = x0 + static_cast<int>((s - 1) / c.rows);
            const int y = y0 + static_cast<int>((s - 1) % c.rows);
            expected.push_back("T" + std::to_string(index + 1) + ":seq=" + std::to_string(s) + "," +
                               Name(x, y) + " OK");
            last = {x, y};
        }
        EXPECT_EQ(Worker(index).CurrentPosition(), last); // the last tile it saved
        expected.push_back("T" + std::to_string(index + 1) + " Finished.");
        EXPECT_EQ(LinesOf(index), expected);
    }
    for (int x = x0; x < x0 + c.columns; ++x)
        for (int y = y0; y < y0 + c.rows; ++y) {
            EXPECT_EQ(Requests(x, y), 1);
            EXPECT_EQ(ReadFile(Path(x, y)), TileBody(x, y));
        }
    EXPECT_TRUE(host_.Failed.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Worker, ShareRule,
    ::testing::Values(ShareCase{"Twenty_tiles_eight_workers",
                                5,
                                4,
                                {{0, {8, 16}},
                                 {1, {1, 9, 17}},
                                 {2, {2, 10, 18}},
                                 {3, {3, 11, 19}},
                                 {4, {4, 12, 20}},
                                 {5, {5, 13}},
                                 {6, {6, 14}},
                                 {7, {7, 15}}}},
                      ShareCase{"Three_tiles_three_workers", 1, 3, {{0, {3}}, {1, {1}}, {2, {2}}}},
                      ShareCase{"One_tile_one_worker", 1, 1, {{0, {1}}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ResumeCase {
    const char* name;
    int resumeX, resumeY;
    std::vector<long long> seqs; // what worker 0 of 8 takes afterwards
};

class ResumeSkip : public WorkerTest, public ::testing::WithParamInterface<ResumeCase> {};

// Columns 100..104, rows 200..209: 50 tiles, H = 10, eight workers.
TEST_P(ResumeSkip, WorkerPassesOverEveryTileUpToItsSavedPosition)
{
    const ResumeCase& c = GetParam();
    MakeTask(100, 104, 200, 209);
    task_->Params.ContinueTask = true;
    task_->ResumeX[0] = c.resumeX;
    task_->ResumeY[0] = c.resumeY;
    RunWorkers({0});
    EXPECT_EQ(SavedSeqs(0), c.seqs);
    EXPECT_EQ(TotalRequests(), c.seqs.size());
}

INSTANTIATE_TEST_SUITE_P(Worker, ResumeSkip,
                         ::testing::Values(
                             // Saved (101, 200) is sequence number 11: the next own tile is 16.
                             ResumeCase{"After_column_101_row_200", 101, 200, {16, 24, 32, 40, 48}},
                             ResumeCase{"Own_tile_as_position", 100, 207, {16, 24, 32, 40, 48}},
                             ResumeCase{"Column_0_is_no_position", 0, 205, {8, 16, 24, 32, 40, 48}},
                             ResumeCase{"Row_0_is_no_position", 103, 0, {8, 16, 24, 32, 40, 48}},
                             ResumeCase{"Last_tile_leaves_nothing", 104, 209, {}}),
                         [](const auto& info) { return std::string(info.param.name); });

// A ban stops one worker at a tile it has not finished; the resumed task
// starts that worker at the banned tile and the others after their own.
TEST_F(WorkerTest, ResumedTaskStartsAtTheBannedTile)
{
    MakeTask(300, 300, 400, 405); // six tiles in one column, two workers
    task_->Params.ThreadCount = 2;
    // Worker 1 takes 1, 3, 5; tile 3 is refused.
    Script(300, 402,
           {ScriptedReply::Status(403, "Forbidden"), ScriptedReply::Status(403, "Forbidden"),
            ScriptedReply::Status(403, "Forbidden")});
    RunWorkers();
    EXPECT_EQ(SavedSeqs(1), (std::vector<long long>{1}));
    EXPECT_EQ(SavedSeqs(0), (std::vector<long long>{2, 4, 6}));
    const auto p0 = Worker(0).CurrentPosition();
    const auto p1 = Worker(1).CurrentPosition();
    EXPECT_EQ(p1, std::make_pair(300, 400));
    EXPECT_EQ(p0, std::make_pair(300, 405));

    // Start again with the saved positions, as a continued task does.
    workers_.clear();
    host_.Log.clear();
    task_->Params.ContinueTask = true;
    task_->ResumeX[0] = p0.first;
    task_->ResumeY[0] = p0.second;
    task_->ResumeX[1] = p1.first;
    task_->ResumeY[1] = p1.second;
    const std::size_t before = TotalRequests();
    RunWorkers();
    EXPECT_EQ(SavedSeqs(1), (std::vector<long long>{3, 5}));
    EXPECT_TRUE(SavedSeqs(0).empty());
    EXPECT_EQ(TotalRequests() - before, 2u);
}

} // namespace
} // namespace kartivo::download
