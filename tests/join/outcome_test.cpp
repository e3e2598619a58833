// A run that is cancelled or fails leaves nothing behind (and an earlier
// output untouched); the tile decoder refuses what is no usable tile.
#include "tests/join/JoinFixture.h"

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kartivo::join {

using testing::JoinTest;
using testing::ReadBytes;

namespace {

class OutcomeTest : public JoinTest, public ::testing::WithParamInterface<OutputFormat> {};

TEST_P(OutcomeTest, CancelLeavesNoOutputAndKeepsAnEarlierOne)
{
    MakeTask(5, 100, 104, 100, 104, 9);
    JoinOptions options;
    options.Format = GetParam();
    const std::string output = dir / ("area" + std::string(OutputExtension(GetParam())));
    testing::WriteBytes(output, "earlier output");
    const auto before = SaveFolderNames();
    control.Progress = [this](std::int64_t done, std::int64_t) {
        if (done >= 12)
            control.Cancel = true;
    };
    std::string error;
    EXPECT_EQ(Combine(options, &error), JoinOutcome::Cancelled);
    EXPECT_EQ(error, "Cancelled: nothing was written.");
    EXPECT_EQ(SaveFolderNames(), before);
    EXPECT_EQ(ReadBytes(output), "earlier output");
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, OutcomeTest,
                         ::testing::Values(OutputFormat::GeoTiff, OutputFormat::MBTiles, OutputFormat::Png,
                                           OutputFormat::Jpeg));

// The output is made under a temporary name, but ends with the permissions
// of any new file (the temporary name starts private to its owner).
TEST_F(JoinTest, OutputsGetTheUsualPermissions)
{
    MakeTask(5, 100, 101, 100, 100, 9);
    const mode_t old = ::umask(022);
    JoinOptions options;
    Combine(options);
    ::umask(old);
    EXPECT_EQ(std::filesystem::status(dir / "area.tif").permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read | std::filesystem::perms::others_read);
}

class FailureTest : public JoinTest {};

TEST_F(FailureTest, AFolderThatIsMissingOrRefusesFilesIsOneSentence)
{
    MakeTask(5, 100, 101, 100, 100, 9);
    JoinOptions options;
    std::string error;
    options.OutputPath = dir / "absent/map.tif";
    EXPECT_EQ(Combine(options, &error), JoinOutcome::Failed);
    EXPECT_EQ(error, "The folder " + dir / "absent/" + " does not exist.");

    options.OutputPath = dir.Path();
    EXPECT_EQ(Combine(options, &error), JoinOutcome::Failed);
    EXPECT_EQ(error, dir.Path() + " is a folder; name the output file.");

    // A slip of the pen must not overwrite the project it reads.
    const std::string project = ReadBytes(dir / "area.kvpd");
    options.OutputPath = dir / "./area.kvpd";
    EXPECT_EQ(Combine(options, &error), JoinOutcome::Failed);
    EXPECT_EQ(error,
              "The output would replace the task's own file " + dir / "area.kvpd" + "; choose another name.");
    EXPECT_EQ(ReadBytes(dir / "area.kvpd"), project);

    if (::geteuid() != 0) { // root writes anywhere
        std::filesystem::create_directory(dir / "locked");
        std::filesystem::permissions(dir / "locked",
                                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        options.OutputPath = dir / "locked/map.tif";
        EXPECT_EQ(Combine(options, &error), JoinOutcome::Failed);
        EXPECT_EQ(error.rfind("Cannot create file " + dir / "locked/.map.tif.partial-", 0), 0u) << error;
    }
}

// A write that the disk refuses midway (a file size limit stands in for a
// full disk) fails with the file named, and the partial file is removed.
TEST_F(FailureTest, AWriteThatFailsMidwayRemovesThePartialFile)
{
    MakeTask(6, 100, 107, 100, 107, 9);
    JoinOptions options;
    options.TiffCompression = Compression::Deflate;
    options.OutputPath = dir / "out/map.tif";
    std::filesystem::create_directory(dir / "out");
    std::string error;
    JoinOutcome outcome;
    {
        // 16 kB: a few blocks, far less than the image. SIGXFSZ is ignored so
        // that the write returns an error instead of ending the test.
        struct rlimit old {};
        ::getrlimit(RLIMIT_FSIZE, &old);
        struct rlimit small = old;
        small.rlim_cur = 16 * 1024;
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &small);
        outcome = Combine(options, &error);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
    }
    EXPECT_EQ(outcome, JoinOutcome::Failed);
    EXPECT_EQ(error.rfind("Cannot write " + dir / "out/.map.tif.partial-", 0), 0u) << error;
    EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
}

TEST(DecodeTile, RefusesWhatIsNoUsableTile)
{
    std::vector<std::uint8_t> rgba(256 * 256 * 4, 200);
    const std::string png = EncodeTile(rgba, 256, 256, TileFormat::Png);
    const std::string jpg = EncodeTile(rgba, 256, 256, TileFormat::Jpeg);
    std::vector<std::uint8_t> out;
    std::string reason;
    EXPECT_TRUE(DecodeTile(png, 256, 256, out, reason)) << reason;
    EXPECT_EQ(out, rgba);
    EXPECT_TRUE(DecodeTile(jpg, 256, 256, out, reason)) << reason;
    EXPECT_TRUE(LooksComplete(png));
    EXPECT_TRUE(LooksComplete(jpg));

    const std::pair<std::string, std::string> bad[] = {
        {"", "empty file"},
        {"<html><body>404</body></html>", "not a PNG or JPEG image"},
        {png.substr(0, png.size() / 2), "damaged PNG"},
        {png.substr(0, 8), "damaged PNG"},
        {jpg.substr(0, jpg.size() / 2), "damaged JPEG"},
        {jpg.substr(0, 3), "damaged JPEG"},
        {EncodeTile(rgba, 128, 128, TileFormat::Png), "PNG of 128 x 128 pixels, not 256 x 256"},
        {EncodeTile(rgba, 256, 256, TileFormat::Jpeg).replace(400, 600, 600, '\xff'), "damaged JPEG"},
    };
    for (const auto& [bytes, expected] : bad) {
        reason.clear();
        EXPECT_FALSE(DecodeTile(bytes, 256, 256, out, reason)) << expected;
        EXPECT_EQ(reason.rfind(expected, 0), 0u) << reason;
    }
    // Cut short or foreign: caught without decoding, as MBTiles needs.
    for (const std::string& bytes :
         {png.substr(0, png.size() - 1), jpg.substr(0, jpg.size() - 2), std::string("<html>"), std::string()})
        EXPECT_FALSE(LooksComplete(bytes)) << bytes.size();
    // A bird's eye tile must be 256 x 180.
    EXPECT_FALSE(DecodeTile(jpg, 256, 180, out, reason));
    EXPECT_EQ(reason, "JPEG of 256 x 256 pixels, not 256 x 180");
}

} // namespace
} // namespace kartivo::join
