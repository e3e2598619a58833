#include "TaskFixture.h"

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/TextFile.h"
#include "tests/support/FaultRun.h"
#include "tests/support/FileBytes.h"

#include <cerrno>
#include <filesystem>
#include <regex>

namespace kartivo::task {

using testing::ReadBytes;
using testing::TaskTest;
using testing::WriteBytes;

namespace {

const char* const kProjectFile =
    "[MapsType]\r\n"
    "MapsType=5\r\n"
    "\r\n"
    "[AREA]\r\n"
    "LeftLongitude=2.3522\r\n"
    "RightLongitude=2.36\r\n"
    "TopLatitude=48.86\r\n"
    "BottomLatitude=48.8566\r\n"
    "\r\n"
    "Left_Longitude_download=    2.32910156250000\r\n"
    "Right_Longitude_download=    2.37304687500000\r\n"
    "Top_Latitude_download=   48.86471476180278\r\n"
    "Bottom_Latitude_download=   48.83579746243093\r\n"
    "\r\n"
    "[Zoom]\r\n"
    "Zoom=13\r\n"
    "\r\n"
    "[XY]\r\n"
    "MinX=4149\r\n"
    "MinY=5373\r\n"
    "MaxX=4149\r\n"
    "MaxY=5373\r\n"
    "\r\n"
    "[THREADS]\r\n"
    "ThreadCount=1\r\n"
    "T1X=\r\nT1Y=\r\nT2X=\r\nT2Y=\r\nT3X=\r\nT3Y=\r\nT4X=\r\nT4Y=\r\n"
    "T5X=\r\nT5Y=\r\nT6X=\r\nT6Y=\r\nT7X=\r\nT7Y=\r\nT8X=\r\nT8Y=\r\n"
    "\r\n";

const char* const kTileList =
    "ImageFileName    Left_Edge_Longitude    Right_Edge_Longitude   Top_Edge_Latitude      "
    "Bottom_Edge_Latitude\r\n"
    "mn_4149_5373_13.png:     2.32910156250000     2.37304687500000    48.86471476180278    "
    "48.83579746243093\r\n";

// The log header with its date line as "@", for a save folder "$".
const char* const kLogHeader =
    "Project: $newtask.kvpd\r\n"
    "@\r\n"
    "\r\n"
    "[MapsType]\r\n"
    "MapsType=5\r\n"
    "\r\n"
    "%"
    "Left Longitude  input= 2.3522\r\n"
    "Right Longitude input= 2.36\r\n"
    "Top Latitude    input= 48.86\r\n"
    "Bottom Latitude input= 48.8566\r\n"
    "\r\n"
    "MinX = 4149\r\n"
    "MinY = 5373\r\n"
    "MaxX = 4149\r\n"
    "MaxY = 5373\r\n"
    "\r\n"
    "Left Longitude  download=2.3291015625\r\n"
    "Right Longitude download=2.373046875\r\n"
    "Top Latitude    download=48.8647147618028\r\n"
    "Bottom Latitude download=48.8357974624309\r\n"
    "\r\n"
    "All images' scope information are saved to $newtask_list.txt\r\n"
    "\r\n"
    "Total count of images would be downloaded: 1\r\n"
    "\r\n"
    "Download threads count: 1\r\n"
    "\r\n"
    "Zoom level: 13\r\n"
    "\r\n"
    "path: $\r\n"
    "\r\n"
    "Start downloading...\r\n"
    "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\r\n";

std::string Expand(std::string text, const std::string& saveDir, const std::string& dateLine,
                   const std::string& proxyBlock)
{
    for (std::size_t p; (p = text.find('$')) != std::string::npos;)
        text.replace(p, 1, saveDir);
    text.replace(text.find('@'), 1, dateLine);
    text.replace(text.find('%'), 1, proxyBlock);
    return text;
}

// The second line of a log file: "Now time is:" and the date.
std::string DateLine(const std::string& log)
{
    std::size_t first = log.find("\r\n") + 2;
    return log.substr(first, log.find("\r\n", first) - first);
}

TEST_F(TaskTest, NewSingleTileTaskWritesItsFilesByteForByte)
{
    UseWorkedExample();
    auto task = CreateAndWrite();
    ASSERT_TRUE(task);
    EXPECT_EQ(task->Params.ThreadCount, 1);
    EXPECT_EQ(ReadBytes(dir / "newtask.kvpd"), kProjectFile);
    EXPECT_EQ(ReadBytes(dir / "newtask_list.txt"), kTileList);
    const std::string log = ReadBytes(dir / "newtask_log.txt");
    EXPECT_TRUE(std::regex_match(DateLine(log), std::regex("Now time is:.+ .+"))) << DateLine(log);
    EXPECT_EQ(log, Expand(kLogHeader, dir.Path(), DateLine(log), ""));
    EXPECT_TRUE(platform::FileExists(dir / "newtask_failed.ftl"));
    EXPECT_EQ(ReadBytes(dir / "newtask_failed.ftl"), "");
    EXPECT_TRUE(dialogs.messages.empty());
}

// The worked example through the proxy 10.1.2.3:3128 as "user".
void UseProxy(TaskParameters& params, const std::string& password)
{
    params.UseProxy = true;
    params.ProxyServer = "10.1.2.3";
    params.ProxyPort = "3128";
    params.ProxyUsername = "user";
    params.ProxyPassword = password;
}

TEST_F(TaskTest, ProxyBlockOnlyWhenTheProxyIsUsed)
{
    UseWorkedExample();
    UseProxy(params, "p@ss word");
    ASSERT_TRUE(CreateAndWrite());
    const std::string log = ReadBytes(dir / "newtask_log.txt");
    EXPECT_EQ(log, Expand(kLogHeader, dir.Path(), DateLine(log),
                          "Using Proxy:\r\nProxy Server:10.1.2.3\r\nProxy Port:3128\r\n"
                          "ProxyUsername:user\r\nProxyPassword:********\r\n\r\n"));
    EXPECT_EQ(log.find("p@ss"), std::string::npos);
}

TEST_F(TaskTest, ProxyPasswordIsMaskedWhateverItsLengthAndEmptyStaysEmpty)
{
    UseWorkedExample();
    UseProxy(params, "");
    ASSERT_TRUE(CreateAndWrite());
    std::string log = ReadBytes(dir / "newtask_log.txt");
    EXPECT_NE(log.find("ProxyUsername:user\r\nProxyPassword:\r\n\r\n"), std::string::npos) << log;

    params.ProxyPassword = "x";
    params.TaskName = "second.kvpd";
    ASSERT_TRUE(CreateAndWrite());
    log = ReadBytes(dir / "second_log.txt");
    EXPECT_NE(log.find("ProxyPassword:********\r\n"), std::string::npos) << log;
}

TEST_F(TaskTest, ContinuedTaskOnlyAppendsToTheLog)
{
    UseWorkedExample();
    ASSERT_TRUE(CreateAndWrite());
    platform::TIniFile(dir / "newtask.kvpd").WriteInteger("THREADS", "T1X", 4149);
    WriteBytes(dir / "newtask_failed.ftl", "/x/mn_4149_5373_13.png|http://r1/earlier\r\n");
    const std::string project = ReadBytes(dir / "newtask.kvpd");
    const std::string log = ReadBytes(dir / "newtask_log.txt");

    TaskParameters again = params;
    again.ThreadCount = 8;
    again.ContinueTask = true;
    params = again;
    auto task = CreateAndWrite();
    ASSERT_TRUE(task);
    EXPECT_EQ(ReadBytes(dir / "newtask.kvpd"), project);
    EXPECT_EQ(ReadBytes(dir / "newtask_list.txt"), kTileList);
    EXPECT_EQ(ReadBytes(dir / "newtask_failed.ftl"), "/x/mn_4149_5373_13.png|http://r1/earlier\r\n");
    const std::string grown = ReadBytes(dir / "newtask_log.txt");
    ASSERT_EQ(grown.substr(0, log.size()), log);
    std::vector<std::string> added = platform::ReadLines(dir / "newtask_log.txt");
    ASSERT_GE(added.size(), 3u);
    EXPECT_EQ(added[added.size() - 3], std::string(44, '-'));
    EXPECT_EQ(added[added.size() - 2], "Log continue...");
    EXPECT_EQ(added.back().rfind("Now time is:", 0), 0u);
    EXPECT_EQ(grown.size(), log.size() + 44 + 2 + 15 + 2 + added.back().size() + 2);
}

// A run killed during Start left the project file without its other
// records: continuing makes them again (the list anew, the log with its
// header, an empty failed list) instead of failing for ever.
TEST_F(TaskTest, ContinuedTaskWithoutItsRecordsMakesThemAgain)
{
    UseWorkedExample();
    ASSERT_TRUE(CreateAndWrite());
    const std::string header = ReadBytes(dir / "newtask_log.txt");
    std::filesystem::remove(dir / "newtask_log.txt");
    std::filesystem::remove(dir / "newtask_failed.ftl");
    WriteBytes(dir / "newtask_list.txt",
               std::string(kTileList).substr(0, std::string(kTileList).size() / 2)); // cut short
    params.ContinueTask = true;
    ASSERT_TRUE(CreateAndWrite());
    EXPECT_EQ(ReadBytes(dir / "newtask_list.txt"), kTileList);
    EXPECT_EQ(ReadBytes(dir / "newtask_failed.ftl"), "");
    const auto log = platform::ReadLines(dir / "newtask_log.txt");
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], "Project: " + dir.Path() + "newtask.kvpd");
    EXPECT_EQ(log.back(), std::string(34, '~'));
    EXPECT_EQ(ReadBytes(dir / "newtask_log.txt").size(), header.size()); // the header alone
}

// The continue test of the list: its length is worked out without writing
// it, across column and row numbers of changing digit counts and map types.
TEST_F(TaskTest, TileListIsCompleteOnlyAtItsExactLength)
{
    for (int mapsType : {5, 22}) {
        UseTiles(8, 12, 95, 104, 7);
        params.MapsType = mapsType;
        params.TaskName = "list" + std::to_string(mapsType) + ".kvpd";
        auto task = CreateAndWrite();
        ASSERT_TRUE(task);
        EXPECT_TRUE(task->TileListComplete()) << mapsType;
        const std::string list = ReadBytes(task->ListFile);
        EXPECT_EQ(task->TileListBytes(), list.size());
        WriteBytes(task->ListFile, list.substr(0, list.rfind("\r\n", list.size() - 3) + 2));
        EXPECT_FALSE(task->TileListComplete()) << mapsType;
    }
}

// The log and failed list of a killed run end inside a line: the continue
// lines and later entries start on lines of their own.
TEST_F(TaskTest, ContinuedTaskEndsLinesCutShortBeforeAddingToThem)
{
    UseWorkedExample();
    ASSERT_TRUE(CreateAndWrite());
    const std::string log = ReadBytes(dir / "newtask_log.txt") + "T1:seq=1,mn_4149_5";
    WriteBytes(dir / "newtask_log.txt", log);
    WriteBytes(dir / "newtask_failed.ftl", "/x/a.png|http://r1/a\r\n/x/b.png|http://r1");
    params.ContinueTask = true;
    ASSERT_TRUE(CreateAndWrite());
    const std::string grown = ReadBytes(dir / "newtask_log.txt");
    EXPECT_EQ(grown.substr(0, log.size() + 2 + 44 + 2), log + "\r\n" + std::string(44, '-') + "\r\n");
    EXPECT_EQ(ReadBytes(dir / "newtask_failed.ftl"), "/x/a.png|http://r1/a\r\n/x/b.png|http://r1\r\n");
}

// Continuing adds to the log's end: a failure while doing so leaves the
// log exactly as it was (it used to be truncated and rewritten).
TEST_F(TaskTest, ContinuedLogThatCannotBeAddedToStaysAsItWas)
{
    UseWorkedExample();
    ASSERT_TRUE(CreateAndWrite());
    const std::string log = ReadBytes(dir / "newtask_log.txt");
    params.ContinueTask = true;
    auto task = KvTask::Create(params).Task;
    ASSERT_TRUE(task);
    testing::FaultScope scope;
    for (long long n = 1; n <= 3; ++n) { // open, write, fsync
        platform::fileops::ArmFault(n, platform::fileops::FaultKind::FailFromNow, ENOSPC);
        EXPECT_THROW(task->WriteLogHeader(), platform::EFCreateError) << n;
        EXPECT_EQ(ReadBytes(dir / "newtask_log.txt"), log) << n;
    }
}

TEST_F(TaskTest, ProjectFileKeepsEightSlotsWithThreeWorkers)
{
    UseTiles(10, 10, 20, 22, 6);
    auto task = CreateAndWrite();
    ASSERT_TRUE(task);
    EXPECT_EQ(task->TileCount, 3);
    EXPECT_EQ(task->Params.ThreadCount, 3);
    auto lines = platform::ReadLines(dir / "newtask.kvpd");
    ASSERT_EQ(lines.size(), 42u);
    EXPECT_EQ(lines[24], "ThreadCount=3");
    EXPECT_EQ(lines[25], "T1X=");
    EXPECT_EQ(lines[40], "T8Y=");
    EXPECT_EQ(lines[41], "");
}

TEST_F(TaskTest, NegativeInputIsWrittenInGeneralFormat)
{
    params.LeftLongitude = -122.5;
    params.RightLongitude = -122.4;
    params.TopLatitude = 37.8;
    params.BottomLatitude = 37.7;
    params.Zoom = 10;
    ASSERT_TRUE(CreateAndWrite());
    auto project = platform::ReadLines(dir / "newtask.kvpd");
    EXPECT_EQ(project[4], "LeftLongitude=-122.5");
    auto log = platform::ReadLines(dir / "newtask_log.txt");
    EXPECT_EQ(log[6], "Left Longitude  input= -122.5");
}

TEST_F(TaskTest, CommaSeparatorReachesGButNotF)
{
    UseWorkedExample();
    platform::SetDecimalSeparatorForTests(',');
    ASSERT_TRUE(CreateAndWrite());
    auto project = platform::ReadLines(dir / "newtask.kvpd");
    EXPECT_EQ(project[4], "LeftLongitude=2,3522");
    EXPECT_EQ(project[9], "Left_Longitude_download=    2.32910156250000");
    EXPECT_EQ(ReadBytes(dir / "newtask_list.txt"), kTileList);
}

TEST_F(TaskTest, TileListStreamsWhatTheGeometrySays)
{
    // Several columns and rows, Aerial: compare every line with the tile
    // names and edges computed one by one.
    // Column and row numbers cross from two to three digits.
    UseTiles(98, 101, 97, 102, 10);
    params.MapsType = 6;
    auto task = CreateAndWrite();
    ASSERT_TRUE(task);
    ASSERT_EQ(task->TileCount, 24);
    std::string expected =
        "ImageFileName    Left_Edge_Longitude    Right_Edge_Longitude   Top_Edge_Latitude      "
        "Bottom_Edge_Latitude\r\n";
    for (int x = 98; x <= 101; ++x)
        for (int y = 97; y <= 102; ++y) {
            core::TileEdges e = core::EdgesOfTile(x, y, 10);
            expected += task->GetTileFileName(x, y) + ": " + platform::FormatF(e.Left) + " " +
                        platform::FormatF(e.Right) + " " + platform::FormatF(e.Top) + " " +
                        platform::FormatF(e.Bottom) + "\r\n";
        }
    EXPECT_EQ(ReadBytes(dir / "newtask_list.txt"), expected);
}

TEST_F(TaskTest, OrdnanceSurveyListHasTheSameLatitudes)
{
    UseTiles(300, 300, 700, 702, 10);
    params.MapsType = 5;
    ASSERT_TRUE(CreateAndWrite());
    auto road = platform::ReadLines(dir / "newtask_list.txt");
    params.MapsType = 22;
    params.TaskName = "os.kvpd";
    ASSERT_TRUE(CreateAndWrite());
    auto os = platform::ReadLines(dir / "os_list.txt");
    ASSERT_EQ(road.size(), os.size());
    for (std::size_t i = 1; i < road.size(); ++i) {
        EXPECT_EQ(os[i].substr(0, 3), "mo_");
        EXPECT_EQ(os[i].substr(os[i].find(':')), road[i].substr(road[i].find(':')));
    }
}

TEST_F(TaskTest, UnwritableRecordFileRaisesCannotCreate)
{
    UseWorkedExample();
    auto task = KvTask::Create(params).Task;
    ASSERT_TRUE(task);
    platform::CreateDir(task->ListFile); // a folder where the list should go
    EXPECT_THROW(task->WriteTileList(), platform::EFCreateError);
}

TEST(FailedLine, SplitsAtTheFirstBar)
{
    FailedEntry e = SplitFailedLine(
        "/maps/newtask/mn_4149_5373_13.png|http://r1.ortho.tiles.virtualearth.net/tiles/"
        "r1202200110121.png?g=909");
    EXPECT_EQ(e.Path, "/maps/newtask/mn_4149_5373_13.png");
    EXPECT_EQ(e.Url, "http://r1.ortho.tiles.virtualearth.net/tiles/r1202200110121.png?g=909");
    e = SplitFailedLine("a|b|c");
    EXPECT_EQ(e.Path, "a");
    EXPECT_EQ(e.Url, "b|c");
    e = SplitFailedLine("no bar here");
    EXPECT_EQ(e.Path, "");
    EXPECT_EQ(e.Url, "no bar here");
    e = SplitFailedLine("");
    EXPECT_EQ(e.Path, "");
    EXPECT_EQ(e.Url, "");
    EXPECT_EQ(JoinFailedLine("/p/t.png", "http://h/u"), "/p/t.png|http://h/u");
    e = SplitFailedLine(JoinFailedLine("/p/t.png", "http://h/u"));
    EXPECT_EQ(e.Path, "/p/t.png");
    EXPECT_EQ(e.Url, "http://h/u");
}

} // namespace

} // namespace kartivo::task
