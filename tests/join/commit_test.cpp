// The combiner's files take their places durably: each is flushed to disk
// before any is renamed, so that a power cut after the run never leaves an
// output or report that is empty or torn, and a flush that fails leaves the
// earlier files as they were.
#include "tests/join/JoinFixture.h"

#include "platform/FileOps.h"
#include "tests/support/FaultRun.h"

#include <cerrno>
#include <cstring>

namespace kartivo::join {

using testing::JoinTest;
using testing::ReadBytes;
namespace fileops = platform::fileops;

namespace {

class CommitTest : public JoinTest {
protected:
    // Counting (and the armed fault) starts afresh at every progress report,
    // so that the last one, before the side files and the commit, decides.
    void ArmAtEveryProgress(long long nth)
    {
        control.Progress = [nth](std::int64_t, std::int64_t) {
            if (nth > 0)
                fileops::ArmFault(nth, fileops::FaultKind::FailOnce, EIO);
            else
                fileops::StartCounting();
        };
    }
    testing::FaultScope scope;
};

TEST_F(CommitTest, EveryFileIsFlushedAndTheFolderOnce)
{
    MakeTask(5, 100, 101, 100, 101, 9);
    for (const auto& [format, files] :
         {std::pair{OutputFormat::GeoTiff, 2}, std::pair{OutputFormat::MBTiles, 2},
          std::pair{OutputFormat::Png, 5}}) {
        JoinOptions options;
        options.Format = format;
        ArmAtEveryProgress(0);
        ASSERT_EQ(Combine(options), JoinOutcome::Done) << OutputFormatName(format);
        // The output and its report (and a plain image's three side files),
        // then the folder they share.
        EXPECT_EQ(fileops::FsyncCount(), files + 1) << OutputFormatName(format);
        fileops::StopCounting();
    }
}

// Operations of the commit: open and flush each file (output first, report
// last), then the renames. A flush that fails names its file and leaves the
// earlier output and report; nothing of the run stays behind.
TEST_F(CommitTest, AFailedFlushKeepsTheEarlierFilesAndNamesTheFile)
{
    MakeTask(5, 100, 101, 100, 101, 9);
    const std::string output = dir / "map.tif";
    const std::string report = output + "_report.txt";
    for (const auto& [nth, failing] : {std::pair{2LL, output}, std::pair{4LL, report}}) {
        testing::WriteBytes(output, "earlier output");
        testing::WriteBytes(report, "earlier report");
        const auto before = SaveFolderNames();
        JoinOptions options;
        options.OutputPath = output;
        ArmAtEveryProgress(nth);
        std::string error;
        EXPECT_EQ(Combine(options, &error), JoinOutcome::Failed);
        fileops::StopCounting();
        EXPECT_EQ(error, "Cannot create file " + failing + " (" + std::strerror(EIO) + ")");
        EXPECT_EQ(ReadBytes(output), "earlier output");
        EXPECT_EQ(ReadBytes(report), "earlier report");
        EXPECT_EQ(SaveFolderNames(), before);
    }
}

} // namespace

} // namespace kartivo::join
