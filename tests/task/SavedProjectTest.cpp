// Requests the task refuses by itself, coordinates as typed, and a saved
// project read back as the viewer and the combiner read it.
#include "task/SavedProject.h"
#include "core/MapTypes.h"
#include "platform/Files.h"
#include "task/Coordinates.h"
#include "tests/support/FileBytes.h"
#include "tests/task/TaskFixture.h"

#include <cmath>
#include <limits>

namespace kartivo::task {

using testing::TaskTest;

namespace {

using testing::WriteBytes;

// Coordinates as typed: commas become periods; anything else that is not a
// decimal number is refused.
TEST(ParseCoordinate, AcceptsDecimalTextsOnly)
{
    const std::pair<const char*, double> good[] = {
        {"12.5", 12.5}, {"12,5", 12.5}, {"-180", -180}, {"+85", 85},   {" 7 ", 7}, {".5", 0.5},
        {"5.", 5},      {"1e2", 100},   {"1E-2", 0.01}, {"1e-400", 0}, {"-0", 0}};
    for (const auto& [text, expected] : good) {
        double v = -1;
        EXPECT_TRUE(ParseCoordinate(text, v)) << text;
        EXPECT_DOUBLE_EQ(v, expected) << text;
    }
    double big = 0;
    ASSERT_TRUE(ParseCoordinate("1e400", big));
    EXPECT_GT(big, 180);
    for (const char* text :
         {"", " ", "abc", "12.5.1", "12,5,1", "1e", "--1", "0x10", "inf", "nan", "1 2", "."}) {
        double v = 0;
        EXPECT_FALSE(ParseCoordinate(text, v)) << text;
    }
}

// The task refuses what would shift past an integer or leave no worker to
// share the tiles, whoever its caller is; nothing is created on disk.
TEST_F(TaskTest, CreateRefusesRequestsNoTaskCanBeMadeOf)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Row {
        double left, right, top, bottom;
        int zoom;
        const char* message;
    };
    const Row rows[] = {
        {2.3, 2.4, 48.9, 48.8, 0, "Zoom level should be between 1 and 20."},
        {2.3, 2.4, 48.9, 48.8, 21, "Zoom level should be between 1 and 20."},
        {2.3, 2.4, 48.9, 48.8, -40, "Zoom level should be between 1 and 20."},
        {nan, 2.4, 48.9, 48.8, 13, "Left Longitude should be between -180 and 180."},
        {2.3, inf, 48.9, 48.8, 13, "Right Longitude should be between -180 and 180."},
        {2.3, 2.4, nan, 48.8, 13, "Top Latitude should be between -85 and 85."},
        {2.3, 2.4, 48.9, -86, 13, "Bottom Latitude should be between -85 and 85."},
        {2.4, 2.3, 48.9, 48.8, 13, "Left Longitude should less than Right Longitude!"},
        {2.3, 2.4, 48.8, 48.9, 13, "Bottom Latitude should less than Top Latitude!"},
    };
    for (const Row& r : rows) {
        params.LeftLongitude = r.left;
        params.RightLongitude = r.right;
        params.TopLatitude = r.top;
        params.BottomLatitude = r.bottom;
        params.Zoom = r.zoom;
        params.ThreadCount = 8;
        const TaskOrError made = KvTask::Create(params);
        EXPECT_FALSE(made.Task) << r.message;
        EXPECT_EQ(made.Error, r.message);
        EXPECT_TRUE(dialogs.messages.empty()) << r.message;
        EXPECT_FALSE(platform::DirectoryExists(dir / "newtask")) << r.message;
    }
}

class SavedProjectTest : public TaskTest {
protected:
    // Writes the record files of a task as Start does, then opens them again.
    std::unique_ptr<SavedProject> WriteAndOpen(std::string& error)
    {
        auto task = CreateAndWrite();
        EXPECT_TRUE(task);
        return SavedProject::Open(dir / "newtask.kvpd", error);
    }
};

TEST_F(SavedProjectTest, ReadsBackTheTaskStartMade)
{
    UseTiles(100, 104, 200, 209, 9);
    params.MapsType = 21;
    std::string error;
    auto project = WriteAndOpen(error);
    ASSERT_TRUE(project) << error;
    const KvTask& t = project->Task();
    EXPECT_EQ(t.Xmin, 100);
    EXPECT_EQ(t.Xmax, 104);
    EXPECT_EQ(t.Ymin, 200);
    EXPECT_EQ(t.Ymax, 209);
    EXPECT_EQ(t.TileCount, 50);
    EXPECT_EQ(t.TileHeight, 180);
    EXPECT_EQ(project->Params().MapsType, 21);
    EXPECT_EQ(project->Params().Zoom, 9);
    EXPECT_EQ(t.TileFolder, dir / "newtask/");
    EXPECT_EQ(t.GetTileFilePath(101, 200), dir / ("newtask/" + core::TileFileName(21, 101, 200, 9)));
}

// G writes the user's decimal separator: a project saved under a comma
// locale must open anywhere.
TEST_F(SavedProjectTest, OpensAProjectWrittenWithDecimalCommas)
{
    UseWorkedExample();
    platform::SetDecimalSeparatorForTests(',');
    std::string error;
    auto project = WriteAndOpen(error);
    ASSERT_TRUE(project) << error;
    EXPECT_EQ(project->CoordinateText(0), "2,3522");
    EXPECT_EQ(project->Task().Xmin, 4149);
    EXPECT_EQ(project->Task().Ymin, 5373);
}

TEST_F(SavedProjectTest, RefusesFilesThatAreNoProjectWithASentenceNamingThem)
{
    std::string error;
    EXPECT_FALSE(SavedProject::Open(dir / "absent.kvpd", error));
    EXPECT_EQ(error, "The project file " + (dir / "absent.kvpd") + " does not exist.");

    WriteBytes(dir / "photo.kvpd", std::string("\x89PNG\r\n\x1a\n\0\0", 10));
    EXPECT_FALSE(SavedProject::Open(dir / "photo.kvpd", error));
    EXPECT_NE(error.find("is not a Kartivo project file"), std::string::npos) << error;

    WriteBytes(dir / "odd.kvpd",
               "[MapsType]\r\nMapsType=9\r\n[AREA]\r\nLeftLongitude=1\r\n"
               "RightLongitude=2\r\nTopLatitude=3\r\nBottomLatitude=2\r\n"
               "[Zoom]\r\nZoom=5\r\n");
    EXPECT_FALSE(SavedProject::Open(dir / "odd.kvpd", error));
    EXPECT_NE(error.find("unknown map type (9)"), std::string::npos) << error;

    WriteBytes(dir / "deep.kvpd",
               "[MapsType]\r\nMapsType=5\r\n[AREA]\r\nLeftLongitude=1\r\n"
               "RightLongitude=2\r\nTopLatitude=3\r\nBottomLatitude=2\r\n"
               "[Zoom]\r\nZoom=25\r\n");
    EXPECT_FALSE(SavedProject::Open(dir / "deep.kvpd", error));
    EXPECT_EQ(error, (dir / "deep.kvpd") + ": Zoom level should be between 1 and 20.");
    EXPECT_FALSE(platform::DirectoryExists(dir / "deep"));
}

TEST_F(SavedProjectTest, TellsSavedBlankMissingAndFailedTilesApart)
{
    const std::string program = dir / "program/";
    ASSERT_TRUE(platform::CreateDir(program));
    ASSERT_TRUE(platform::CreateDir(program + "blankimg"));
    WriteBytes(program + "blankimg/blank256.png", "BLANK-IMAGE");
    platform::SetProgramFolderForTests(program);

    UseTiles(10, 11, 20, 21, 6);
    params.MapsType = 5; // Road: PNG tiles, blank256.png
    auto task = CreateAndWrite();
    ASSERT_TRUE(task);
    WriteBytes(task->GetTileFilePath(10, 20), "a real tile");
    WriteBytes(task->GetTileFilePath(10, 21), "BLANK-IMAGE");
    WriteBytes(task->GetTileFilePath(11, 21), "BLANK-IMAGX"); // same size, other bytes
    WriteBytes(task->FailedFile, "[Failed tile inforamtion window]\r\n" +
                                     JoinFailedLine(task->GetTileFilePath(11, 20), "http://x/") + "\r\n");
    std::string error;
    auto project = SavedProject::Open(dir / "newtask.kvpd", error);
    platform::SetProgramFolderForTests("");
    ASSERT_TRUE(project) << error;
    EXPECT_EQ(project->StateOfTile(10, 20), TileState::Saved);
    EXPECT_EQ(project->StateOfTile(10, 21), TileState::Blank);
    EXPECT_EQ(project->StateOfTile(11, 21), TileState::Saved);
    EXPECT_EQ(project->StateOfTile(11, 20), TileState::Failed);
    EXPECT_EQ(project->StateOfTile(12, 20), TileState::Missing);
    EXPECT_STREQ(TileStateName(TileState::Blank), "blank");
}

} // namespace

} // namespace kartivo::task
