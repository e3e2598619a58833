// The tile list as a file of its own: its size known before it is written,
// and a list that is abandoned or cannot be written leaves nothing behind
// (the list there before stays whole).
#include "tests/task/TaskFixture.h"

#include "platform/Errors.h"
#include "tests/support/FileBytes.h"

#include <csignal>
#include <filesystem>
#include <sys/resource.h>

namespace kartivo::task {

namespace {

using testing::TaskTest;

// Areas whose column and row numbers cross from one digit count to the next,
// for every map type's name and extension.
TEST_F(TaskTest, TileListBytesIsTheSizeOfTheListWritten)
{
    struct Shape {
        int x0, x1, y0, y1, zoom, mapsType;
    };
    const Shape shapes[] = {
        {0, 1, 0, 1, 1, 5},
        {5, 12, 95, 104, 7, 6},
        {990, 1003, 998, 1003, 11, 7},
        {0, 0, 4000, 4000, 13, 21},
        {99990, 100010, 99995, 100002, 17, 22},
        {1048570, 1048575, 999998, 1000001, 20, 6},
    };
    for (const Shape& s : shapes) {
        SCOPED_TRACE(::testing::Message()
                     << s.x0 << ".." << s.x1 << " x " << s.y0 << ".." << s.y1 << " @" << s.zoom);
        params.MapsType = s.mapsType;
        UseTiles(s.x0, s.x1, s.y0, s.y1, s.zoom);
        auto task = KvTask::Create(params).Task;
        ASSERT_TRUE(task);
        ASSERT_TRUE(task->WriteTileList());
        EXPECT_EQ(task->TileListBytes(), std::filesystem::file_size(task->ListFile));
    }
}

TEST_F(TaskTest, AbandonedListLeavesTheEarlierListWhole)
{
    UseTiles(100, 139, 200, 399, 12); // 8,000 tiles: progress is told at 0, 4,096 and the end
    auto task = KvTask::Create(params).Task;
    ASSERT_TRUE(task);
    testing::WriteBytes(task->ListFile, "the earlier list\r\n");

    std::vector<std::int64_t> told;
    const bool written = task->WriteTileList([&](std::int64_t lines) {
        told.push_back(lines);
        return lines < 4096;
    });

    EXPECT_FALSE(written);
    EXPECT_EQ(told, (std::vector<std::int64_t>{0, 4096}));
    EXPECT_EQ(testing::ReadBytes(task->ListFile), "the earlier list\r\n");
    EXPECT_FALSE(std::filesystem::exists(task->ListFile + ".part"));

    told.clear();
    EXPECT_TRUE(task->WriteTileList([&](std::int64_t lines) {
        told.push_back(lines);
        return true;
    }));
    EXPECT_EQ(told, (std::vector<std::int64_t>{0, 4096, 8000}));
    EXPECT_EQ(std::filesystem::file_size(task->ListFile), task->TileListBytes());
}

// A disk that fills mid-list: the file size limit makes a write fail as a
// full disk would (EFBIG instead of ENOSPC).
TEST_F(TaskTest, ListThatCannotBeWrittenIsRemoved)
{
    UseTiles(100, 139, 200, 399, 12);
    auto task = KvTask::Create(params).Task;
    ASSERT_TRUE(task);
    ASSERT_GT(task->TileListBytes(), 256u * 1024);

    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool threw = false;
    try {
        task->WriteTileList();
    } catch (const platform::EFCreateError&) {
        threw = true;
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(threw);
    EXPECT_FALSE(std::filesystem::exists(task->ListFile));
    EXPECT_FALSE(std::filesystem::exists(task->ListFile + ".part"));
}

} // namespace

} // namespace kartivo::task
