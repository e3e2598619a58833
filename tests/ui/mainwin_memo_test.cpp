// The memo's line list and its saver: the file's bytes are always those of
// writing every line whole, whether a save appended or rewrote; and the
// Qt dispatcher that carries the workers' Synchronize calls.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/TextFile.h"
#include "platform/qt/QtDispatcher.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"
#include "tests/ui/MainWindowFixture.h"
#include "ui/DownloadController.h"
#include "ui/MemoLines.h"

namespace kartivo::ui {

using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;

namespace {

std::string Whole(const std::vector<std::string>& lines, const std::string& path)
{
    platform::WriteLines(path, lines);
    return ReadBytes(path);
}

TEST(LineList, KeepsEntriesAsAdded)
{
    LineList list;
    list.Add("a");
    list.Add("");
    list.Add("Error: may be your IP is banned.\nPlease try again later.");
    const std::string big(3 << 20, 'x'); // larger than a storage block
    list.Add(big);
    list.Add("after");
    ASSERT_EQ(list.Count(), 5u);
    EXPECT_EQ(list[1], "");
    EXPECT_EQ(list[2], "Error: may be your IP is banned.\nPlease try again later.");
    EXPECT_EQ(list[3], big);
    EXPECT_EQ(list[4], "after");
    EXPECT_EQ(list.FileBytes(), 1 + 0 + 56 + big.size() + 5 + 5 * 2u);
    const auto generation = list.Generation();
    list.Assign({"x"});
    EXPECT_NE(list.Generation(), generation);
    EXPECT_EQ(list.ToVector(), std::vector<std::string>{"x"});
}

TEST(LinesFileSaver, AppendsOnlyWhileTheFileIsAsItLeftIt)
{
    TempFolder dir;
    const std::string file = dir / "log.txt";
    const std::string reference = dir / "ref.txt";
    LineList list;
    LinesFileSaver saver;
    std::vector<std::string> all;
    auto add = [&](const std::string& line) {
        list.Add(line);
        all.push_back(line);
    };

    add("header");
    saver.Save(list, file);
    EXPECT_FALSE(saver.LastSaveAppended());
    add("T1:seq=1,a.png OK");
    add("two\nparts");
    saver.Save(list, file);
    EXPECT_TRUE(saver.LastSaveAppended());
    EXPECT_EQ(ReadBytes(file), Whole(all, reference));
    saver.Save(list, file); // nothing new
    EXPECT_EQ(ReadBytes(file), Whole(all, reference));

    // Someone else rewrote the file: the next save writes it whole again.
    WriteBytes(file, "tampered\r\n");
    add("T2:seq=2,b.png OK");
    saver.Save(list, file);
    EXPECT_FALSE(saver.LastSaveAppended());
    EXPECT_EQ(ReadBytes(file), Whole(all, reference));

    // Lines replaced: whole again.
    all = {"new", "lines"};
    list.Assign(all);
    saver.Save(list, file);
    EXPECT_FALSE(saver.LastSaveAppended());
    EXPECT_EQ(ReadBytes(file), Whole(all, reference));

    // Another file: whole.
    saver.Save(list, dir / "other.txt");
    EXPECT_FALSE(saver.LastSaveAppended());
}

TEST(LinesFileSaver, AdoptsAFileReadBackOnlyWhenItsBytesWouldBeTheSame)
{
    TempFolder dir;
    const std::string canonical = dir / "a.txt";
    const std::string bare = dir / "b.txt";
    WriteBytes(canonical, "one\r\ntwo\r\n");
    WriteBytes(bare, "one\ntwo"); // LF ends and no final line end

    for (const std::string& path : {canonical, bare}) {
        LineList list(platform::ReadLines(path));
        LinesFileSaver saver;
        saver.Adopt(list, path);
        list.Add("three");
        saver.Save(list, path);
        EXPECT_EQ(saver.LastSaveAppended(), path == canonical) << path;
        EXPECT_EQ(ReadBytes(path), "one\r\ntwo\r\nthree\r\n") << path;
    }
}

TEST(LinesFileSaver, UnwritableFileRaisesTheFileErrorAndRecovers)
{
    TempFolder dir;
    const std::string file = dir / "log.txt";
    LineList list({"a"});
    LinesFileSaver saver;
    saver.Save(list, file);
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    list.Add("b");
    try {
        saver.Save(list, file);
        FAIL() << "no error";
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file " + file);
    }
    std::filesystem::remove(file);
    saver.Save(list, file);
    EXPECT_EQ(ReadBytes(file), "a\r\nb\r\n");
}

TEST(QtMainDispatcher, RunsCallsOnTheMainThreadAndShutdownReleasesWaiters)
{
    platform::qt::QtMainDispatcher dispatcher;
    const auto mainThread = std::this_thread::get_id();

    bool ranHere = false;
    dispatcher.RunOnMain([&] { ranHere = std::this_thread::get_id() == mainThread; });
    EXPECT_TRUE(ranHere);

    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        dispatcher.RunOnMain([&] { ranOnMain = std::this_thread::get_id() == mainThread; });
        returned = true;
    });
    ASSERT_TRUE(testing::PumpUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(ranOnMain);

    // A worker blocked while nobody serves events: Shutdown lets it go unrun.
    std::atomic<bool> ran{false};
    std::atomic<bool> entered{false};
    returned = false;
    std::thread blocked([&] {
        entered = true;
        dispatcher.RunOnMain([&] { ran = true; });
        returned = true;
    });
    while (!entered)
        std::this_thread::yield();
    dispatcher.Shutdown();
    blocked.join(); // would hang without Shutdown
    EXPECT_TRUE(returned);
    QCoreApplication::processEvents(); // the queued call, if any, must not run now
    EXPECT_FALSE(ran);
    // After Shutdown, calls from other threads return at once.
    std::thread late([&] { dispatcher.RunOnMain([&] { ran = true; }); });
    late.join();
    EXPECT_FALSE(ran);
}

} // namespace

} // namespace kartivo::ui
