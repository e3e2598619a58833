// The project file's one home: every worker's position saved in one
// replacement with the other bytes kept, never a new column with an old
// row whatever operation a kill ends; the keys read once; a file far larger
// than any project refused without being read.
#include "TaskFixture.h"

#include "platform/FileOps.h"
#include "platform/IniFile.h"
#include "task/ProjectFile.h"
#include "task/SavedProject.h"
#include "tests/support/FaultRun.h"
#include "tests/support/FileBytes.h"

#include <fstream>

namespace kartivo::task {

using testing::ReadBytes;
using testing::WriteBytes;

namespace {

class ProjectFileTest : public testing::TaskTest {};

using Positions = std::array<std::optional<ProjectIni::Position>, kThreadSlots>;

Positions AllAt(int x, int y)
{
    Positions p;
    for (int i = 0; i < kThreadSlots; ++i)
        p[static_cast<std::size_t>(i)] = ProjectIni::Position{x + i, y + i};
    return p;
}

TEST_F(ProjectFileTest, PositionsOfOneSaveAreOneReplacementKeepingOtherLines)
{
    UseTiles(10, 40, 20, 60, 8);
    auto task = CreateAndWrite();
    ASSERT_TRUE(task);
    const std::string before = ReadBytes(task->ProjectFile());
    testing::FaultScope scope;
    platform::fileops::StartCounting();
    Positions p = AllAt(20, 30);
    p[3].reset();                       // this worker finished nothing yet
    p[5] = ProjectIni::Position{25, 0}; // a row of 0 leaves the key as it was
    ProjectIni::SavePositions(task->ProjectFile(), p);
    // One temporary file written, flushed, renamed, its folder flushed.
    EXPECT_EQ(platform::fileops::OperationCount(), 5);
    EXPECT_EQ(platform::fileops::FsyncCount(), 2);

    std::string expected = before;
    for (int i = 0; i < kThreadSlots; ++i) {
        const std::string n = std::to_string(i + 1);
        const std::string x = i == 3 ? "" : std::to_string(i == 5 ? 25 : 20 + i);
        const std::string y = i == 3 || i == 5 ? "" : std::to_string(30 + i);
        expected.replace(expected.find("T" + n + "X=\r\n"), n.size() + 5, "T" + n + "X=" + x + "\r\n");
        expected.replace(expected.find("T" + n + "Y=\r\n"), n.size() + 5, "T" + n + "Y=" + y + "\r\n");
    }
    EXPECT_EQ(ReadBytes(task->ProjectFile()), expected);
    const ProjectIni read = ProjectIni::Read(task->ProjectFile());
    EXPECT_EQ(read.ResumeX(0), 20);
    EXPECT_EQ(read.ResumeY(7), 37);
    EXPECT_EQ(read.ResumeX(3), 0);
}

// The old code wrote column and row as two replacements each: a kill
// between them left a new column with an old row, and the continued task
// skipped tiles it never had. Killed at every operation, the file holds
// the old set of positions or the new one.
TEST_F(ProjectFileTest, KilledPositionSaveLeavesTheOldSetOrTheNew)
{
    UseTiles(10, 40, 20, 60, 8);
    auto task = CreateAndWrite();
    ASSERT_TRUE(task);
    ProjectIni::SavePositions(task->ProjectFile(), AllAt(12, 22));
    const std::string oldFile = ReadBytes(task->ProjectFile());
    int killed = 0;
    for (long long n = 1;; ++n) {
        WriteBytes(task->ProjectFile(), oldFile);
        const int status = testing::RunInChild([&] {
            platform::fileops::ArmFault(n, platform::fileops::FaultKind::Exit);
            ProjectIni::SavePositions(task->ProjectFile(), AllAt(30, 50));
        });
        const ProjectIni read = ProjectIni::Read(task->ProjectFile());
        const int base = read.ResumeX(0) == 12 ? 12 : 30;
        for (int i = 0; i < kThreadSlots; ++i) {
            EXPECT_EQ(read.ResumeX(i), base + i) << "operation " << n;
            EXPECT_EQ(read.ResumeY(i), base + 10 + (base == 30 ? 10 : 0) + i) << "operation " << n;
        }
        if (status == 0)
            break;
        ASSERT_EQ(status, platform::fileops::kFaultExitStatus);
        ++killed;
    }
    EXPECT_EQ(killed, 5);
}

TEST_F(ProjectFileTest, ProjectFileFarTooLargeIsRefusedWithoutReading)
{
    const std::string path = dir / "huge.kvpd";
    {
        std::string chunk(1 << 20, ' ');
        std::ofstream out(path, std::ios::binary);
        out << "[AREA]\r\nLeftLongitude=1\r\n";
        for (int i = 0; i < 100; ++i)
            out << chunk;
    }
    std::string error;
    EXPECT_EQ(SavedProject::Open(path, error), nullptr);
    EXPECT_EQ(error, path + " is not a Kartivo project.");
    EXPECT_EQ(ProjectIni::Read(path).State(), ProjectIni::Status::NotAProject);
    EXPECT_EQ(ProjectIni::Read(dir / "absent.kvpd").State(), ProjectIni::Status::Missing);
}

TEST(ProjectIni, AbsentOrUnreadableNumbersAreNoValue)
{
    testing::TempFolder dir;
    WriteBytes(dir / "p.kvpd", "[Zoom]\r\nZoom=x\r\n[MapsType]\r\nMapsType=0x15\r\n");
    const ProjectIni p = ProjectIni::Read(dir / "p.kvpd");
    EXPECT_EQ(p.Zoom(), std::nullopt);
    EXPECT_EQ(p.MapsType(), 21);
    EXPECT_EQ(p.CoordinateText(0), "");
}

} // namespace

} // namespace kartivo::task
