// platejoin's command line: exit statuses, one clear line on failure, the
// outcome and the tiles left out on standard error.
#include "tests/join/JoinFixture.h"

#include <filesystem>

#include "join/CommandLine.h"
#include "platform/Files.h"

namespace kartivo::join {

using testing::Quoted;

namespace {

class CommandLineTest : public testing::JoinTest {
protected:
    int Run(const std::vector<std::string>& args, const std::atomic<bool>* cancel = nullptr)
    {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        const int status = RunCommandLine(args, out, err, cancel);
        outText = Contents(out);
        errText = Contents(err);
        return status;
    }
    static std::string Contents(std::FILE* f)
    {
        std::string text;
        std::rewind(f);
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        std::fclose(f);
        return text;
    }
    std::string outText, errText;
};

TEST_F(CommandLineTest, WrongArgumentsGiveOneLineAndStatusTwo)
{
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{}, "platejoin: no project file given (see platejoin --help)\n"},
        {{"--format"},
         "platejoin: --format needs a value: gtiff, mbtiles, png or jpeg (see platejoin --help)\n"},
        {{"--format", "bmp", "a.kvpd"},
         "platejoin: unknown format \"bmp\": use gtiff, mbtiles, png or jpeg (see platejoin --help)\n"},
        {{"--quality=0", "a.kvpd"},
         "platejoin: --quality needs a number from 1 to 100 (see platejoin --help)\n"},
        {{"--zoom", "a.kvpd"}, "platejoin: unknown option --zoom (see platejoin --help)\n"},
        {{"a.kvpd", "b.kvpd"}, "platejoin: one project file only (a.kvpd, b.kvpd) (see platejoin --help)\n"},
    };
    for (const auto& [args, expected] : rows) {
        EXPECT_EQ(Run(args), kExitUsage) << expected;
        EXPECT_EQ(errText, expected);
    }
    EXPECT_EQ(Run({"--help"}), kExitOk);
    EXPECT_EQ(outText, kUsageText);
    EXPECT_EQ(errText, "");
}

TEST_F(CommandLineTest, AProjectThatCannotBeOpenedIsOneLineAndStatusOne)
{
    EXPECT_EQ(Run({dir / "absent.kvpd"}), kExitFailed);
    EXPECT_EQ(errText, "platejoin: The project file " + dir / "absent.kvpd" + " does not exist.\n");
}

TEST_F(CommandLineTest, CombinesBesideTheProjectByDefaultAndListsTheHoles)
{
    MakeTask(5, 40, 41, 40, 40, 7);
    RemoveTile(41, 40);
    EXPECT_EQ(Run({dir / "area.kvpd"}), kExitOk) << errText;
    EXPECT_TRUE(std::filesystem::exists(dir / "area.tif"));
    EXPECT_NE(errText.find("Wrote " + dir / "area.tif" + " (GeoTIFF, 512 x 256 pixels, EPSG:3857)\n"),
              std::string::npos)
        << errText;
    EXPECT_NE(errText.find("Tiles: 1 combined, 0 blank substitutes, 1 missing, 0 failed, 0 undecodable\n"),
              std::string::npos)
        << errText;
    EXPECT_NE(errText.find("  left out: mn_41_40_7.png  missing\n"), std::string::npos) << errText;
    EXPECT_NE(errText.find("Report: " + dir / "area.tif_report.txt\n"), std::string::npos) << errText;

    EXPECT_EQ(Run({"-f", "jpeg", "--quality", "60", "--output=" + dir / "x.jpg", dir / "area.kvpd"}), kExitOk)
        << errText;
    EXPECT_TRUE(std::filesystem::exists(dir / "x.jpg"));
    EXPECT_TRUE(std::filesystem::exists(dir / "x.jgw"));
}

TEST_F(CommandLineTest, AnInterruptLeavesNothingAndStatus130)
{
    MakeTask(5, 40, 43, 40, 43, 7);
    const auto before = SaveFolderNames();
    std::atomic<bool> interrupted{true};
    EXPECT_EQ(Run({dir / "area.kvpd"}, &interrupted), kExitCancelled);
    EXPECT_EQ(errText.substr(errText.rfind("platejoin:")), "platejoin: Cancelled: nothing was written.\n");
    EXPECT_EQ(SaveFolderNames(), before);
}

// The program itself, as a shell starts it (built beside the tests).
TEST_F(CommandLineTest, TheProgramRunsWithoutADisplay)
{
    const std::string program = platform::ProgramFolder() + "platejoin";
    if (!std::filesystem::exists(program))
        GTEST_SKIP() << "platejoin is built with the GUI only";
    MakeTask(6, 40, 41, 40, 40, 7);
    int status = -1;
    testing::RunCommand("env -u DISPLAY -u WAYLAND_DISPLAY " + Quoted(program) + " --format mbtiles " +
                            Quoted(dir / "area.kvpd"),
                        &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(std::filesystem::exists(dir / "area.mbtiles"));
    testing::RunCommand(Quoted(program) + " --format nothing x.kvpd", &status);
    EXPECT_EQ(status, 2);
}

} // namespace
} // namespace kartivo::join
