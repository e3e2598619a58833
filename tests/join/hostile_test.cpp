// Tasks and output names that would trip the combiner: tiles that are no
// usable tile or no regular file, output names that point at something that
// must not be replaced, a tile folder that is gone, interruptions and closed
// output streams, long names.
#include "tests/join/JoinFixture.h"

#include <csignal>
#include <filesystem>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "join/CommandLine.h"
#include "platform/Files.h"

extern char** environ;

namespace kartivo::join {

using testing::ReadBytes;
using testing::WriteBytes;

namespace {

class HostileTest : public testing::JoinTest {
protected:
    std::string Refusal(JoinOptions options)
    {
        std::string error;
        EXPECT_EQ(Combine(options, &error), JoinOutcome::Failed);
        return error;
    }
    static bool Contains(const std::string& text, const std::string& part)
    {
        return text.find(part) != std::string::npos;
    }
};

// Every format checks each tile's size and content alike; what it cannot use
// is left out and counted, never stored.
TEST_F(HostileTest, EveryFormatLeavesOutTilesOfTheWrongSizeOrWithDamagedData)
{
    MakeTask(5, 100, 104, 100, 100, 9);
    std::vector<std::uint8_t> big(512 * 512 * 4, 120), small(100 * 100 * 4, 120), good(256 * 256 * 4, 90);
    ReplaceTile(100, 100, EncodeTile(big, 512, 512, TileFormat::Png));
    ReplaceTile(101, 100, EncodeTile(small, 100, 100, TileFormat::Png));
    // Damaged inside, with its start and end intact: it passes a look at its ends.
    std::string png = ReadBytes(TilePath(102, 100));
    png.replace(60, 200, 200, '\x55');
    ReplaceTile(102, 100, png);
    std::string jpg = EncodeTile(good, 256, 256, TileFormat::Jpeg);
    jpg.replace(jpg.size() / 2, 300, 300, '\xff');
    ReplaceTile(103, 100, jpg);
    ASSERT_TRUE(LooksComplete(png));
    ASSERT_TRUE(LooksComplete(jpg));

    for (OutputFormat format : {OutputFormat::MBTiles, OutputFormat::GeoTiff, OutputFormat::Png}) {
        JoinOptions options;
        options.Format = format;
        ASSERT_EQ(Combine(options), JoinOutcome::Done) << OutputFormatName(format);
        EXPECT_EQ(summary.Counts.Saved, 1) << OutputFormatName(format);
        EXPECT_EQ(summary.Counts.Undecodable, 4) << OutputFormatName(format);
        const std::string report = ReadBytes(summary.ReportPath);
        EXPECT_TRUE(Contains(report, "undecodable (left transparent): 4\r\n")) << report;
        EXPECT_TRUE(Contains(report, "PNG of 512 x 512 pixels, not 256 x 256")) << report;
    }
    EXPECT_EQ(testing::RunCommand("sqlite3 " + testing::Quoted(dir / "area.mbtiles") +
                                  " 'SELECT tile_column FROM tiles'"),
              "104\n");
}

TEST_F(HostileTest, BirdsEyeTilesAreRefusedForMbtilesWithTheFormatsThatWork)
{
    MakeTask(21, 100, 101, 100, 100, 9);
    JoinOptions options;
    options.Format = OutputFormat::MBTiles;
    const auto before = SaveFolderNames();
    const std::string error = Refusal(options);
    EXPECT_TRUE(Contains(error, "256 x 180")) << error;
    EXPECT_TRUE(Contains(error, "GeoTIFF (--format gtiff)")) << error;
    EXPECT_TRUE(Contains(error, "PNG (--format png)")) << error;
    EXPECT_EQ(SaveFolderNames(), before);
    options.Format = OutputFormat::GeoTiff;
    EXPECT_EQ(Combine(options), JoinOutcome::Done);
}

// A named pipe or a link to an endless device is no tile: it is reported,
// and neither blocks the run nor fills the memory.
TEST_F(HostileTest, TilesThatAreNoRegularFilesAreReportedAsBad)
{
    MakeTask(5, 100, 102, 100, 100, 9);
    RemoveTile(100, 100);
    ASSERT_EQ(::mkfifo(TilePath(100, 100).c_str(), 0644), 0);
    RemoveTile(101, 100);
    std::filesystem::create_symlink("/dev/zero", TilePath(101, 100));
    for (OutputFormat format : {OutputFormat::GeoTiff, OutputFormat::MBTiles}) {
        JoinOptions options;
        options.Format = format;
        ASSERT_EQ(Combine(options), JoinOutcome::Done);
        EXPECT_EQ(summary.Counts.Saved, 1);
        EXPECT_EQ(summary.Counts.Undecodable, 2);
        EXPECT_EQ(summary.FirstProblems,
                  (std::vector<std::string>{
                      task->GetTileFileName(100, 100) + "  undecodable: not a regular file",
                      task->GetTileFileName(101, 100) + "  undecodable: not a regular file"}));
    }
}

TEST_F(HostileTest, OutputsNeverReplaceDevicesPipesTilesOrEachOther)
{
    MakeTask(5, 100, 101, 100, 100, 9);
    JoinOptions options;
    const auto fifo = dir / "pipe.tif";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    options.OutputPath = fifo;
    EXPECT_TRUE(Contains(Refusal(options), "is not a regular file"));
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));

    // A link to a device is followed and refused as the device is.
    std::filesystem::create_symlink("/dev/null", dir / "null.tif");
    options.OutputPath = dir / "null.tif";
    EXPECT_TRUE(Contains(Refusal(options), "is not a regular file"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "null.tif"));

    const std::string tile = ReadBytes(TilePath(100, 100));
    options.OutputPath = TilePath(100, 100);
    EXPECT_TRUE(Contains(Refusal(options), "among the task's tiles"));
    EXPECT_EQ(ReadBytes(TilePath(100, 100)), tile);

    // An image named like its own side file.
    options.Format = OutputFormat::Png;
    for (const std::string name : {"x.pgw", "x.prj"}) {
        options.OutputPath = dir / name;
        const std::string error = Refusal(options);
        EXPECT_TRUE(Contains(error, "would be one file")) << error;
        EXPECT_FALSE(std::filesystem::exists(dir / name));
    }
    // A side file that is a pipe stops the run before anything is written.
    ASSERT_EQ(::mkfifo((dir / "y.prj").c_str(), 0644), 0);
    options.OutputPath = dir / "y.png";
    EXPECT_TRUE(
        Contains(Refusal(options), "The projection file " + dir / "y.prj" + " is not a regular file"));
    EXPECT_FALSE(std::filesystem::exists(dir / "y.png"));
}

TEST_F(HostileTest, OutputsFollowLinksAndRefuseReadOnlyFiles)
{
    MakeTask(5, 100, 101, 100, 100, 9);
    std::filesystem::create_directory(dir / "maps");
    WriteBytes(dir / "maps/real.tif", "old");
    std::filesystem::create_symlink("maps/real.tif", dir / "link.tif");
    JoinOptions options;
    options.OutputPath = dir / "link.tif";
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.tif"));
    EXPECT_EQ(ReadBytes(dir / "maps/real.tif").substr(0, 2), "II");
    EXPECT_TRUE(std::filesystem::is_empty(dir / "maps") == false);

    // Read-only: refused by its mode bits, so also when run as root.
    WriteBytes(dir / "locked.tif", "keep");
    std::filesystem::permissions(dir / "locked.tif", std::filesystem::perms::owner_read);
    options.OutputPath = dir / "locked.tif";
    EXPECT_TRUE(Contains(Refusal(options), "has no write permission"));
    EXPECT_EQ(ReadBytes(dir / "locked.tif"), "keep");
    // The same for a side file: nothing is written.
    options.Format = OutputFormat::Png;
    WriteBytes(dir / "z.pgw", "keep");
    std::filesystem::permissions(dir / "z.pgw", std::filesystem::perms::owner_read);
    options.OutputPath = dir / "z.png";
    EXPECT_TRUE(Contains(Refusal(options), "The world file " + dir / "z.pgw" + " has no write permission"));
    EXPECT_FALSE(std::filesystem::exists(dir / "z.png"));
}

// Each output keeps its own report.
TEST_F(HostileTest, ReportsAreNamedAfterTheirOutput)
{
    MakeTask(6, 100, 101, 100, 100, 9);
    RemoveTile(101, 100);
    JoinOptions options;
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    options.Format = OutputFormat::MBTiles;
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    EXPECT_TRUE(Contains(ReadBytes(dir / "area.tif_report.txt"), "Format: GeoTIFF"));
    EXPECT_TRUE(Contains(ReadBytes(dir / "area.mbtiles_report.txt"), "Format: MBTiles"));
}

TEST_F(HostileTest, NothingToCombineIsAFailure)
{
    MakeTask(5, 100, 101, 100, 100, 9);
    const auto before = SaveFolderNames();
    std::filesystem::rename(task->TileFolder, dir / "moved");
    JoinOptions options;
    const std::string error = Refusal(options);
    EXPECT_TRUE(Contains(error, "The tile folder " + task->TileFolder)) << error;
    std::filesystem::rename(dir / "moved", task->TileFolder);

    RemoveTile(100, 100);
    RemoveTile(101, 100);
    EXPECT_EQ(Refusal(options),
              "No tile of the task could be combined (2 missing, 0 failed, 0 undecodable); "
              "nothing was written.");
    EXPECT_EQ(SaveFolderNames(), before);
}

// More tiles left out than the caller allows: status 1 and nothing written.
TEST_F(HostileTest, TooManyMissingTilesFailWhenAsked)
{
    MakeTask(5, 100, 103, 100, 100, 9);
    RemoveTile(101, 100); // 25 %
    const auto before = SaveFolderNames();
    JoinOptions options;
    options.MaxMissingPercent = 20;
    EXPECT_EQ(Refusal(options),
              "1 of 4 tiles are left out (1 missing, 0 failed, 0 undecodable), more than the "
              "20 % allowed; nothing was written.");
    EXPECT_EQ(SaveFolderNames(), before);
    options.MaxMissingPercent = 25;
    EXPECT_EQ(Combine(options), JoinOutcome::Done);

    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(RunCommandLine({"--max-missing", "10%", "-o", dir / "x.tif", dir / "area.kvpd"}, out, err),
              kExitFailed);
    EXPECT_EQ(RunCommandLine({"--max-missing=101", dir / "area.kvpd"}, out, err), kExitUsage);
    EXPECT_EQ(RunCommandLine({"--max-missing", "1.2.3", dir / "area.kvpd"}, out, err), kExitUsage);
    std::fclose(out);
    std::fclose(err);
    EXPECT_FALSE(std::filesystem::exists(dir / "x.tif"));
}

// A name of 230 bytes is legal; the temporary names made from it must be too.
TEST_F(HostileTest, ALongOutputNameWorks)
{
    MakeTask(5, 100, 101, 100, 101, 9);
    JoinOptions options;
    const std::string name = std::string(222, 'a') + "\xc3\xa9" + ".tif"; // ends in "é.tif"
    ASSERT_EQ(name.size(), 228u);
    options.OutputPath = dir / name;
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    EXPECT_TRUE(std::filesystem::exists(dir / name));
    EXPECT_TRUE(std::filesystem::exists(dir / (name + "_report.txt")));
}

TEST_F(HostileTest, AProjectFileWithAByteOrderMarkIsRead)
{
    MakeTask(5, 100, 101, 100, 100, 9);
    WriteBytes(dir / "area.kvpd", "\xef\xbb\xbf" + ReadBytes(dir / "area.kvpd"));
    JoinOptions options;
    EXPECT_EQ(Combine(options), JoinOutcome::Done);
    EXPECT_EQ(summary.Counts.Saved, 2);
}

// A standard error stream that calls back on each line written to it.
struct Watched {
    std::function<void(const std::string&)> OnWrite;
    std::string Text;
};

ssize_t WatchedWrite(void* cookie, const char* data, size_t size)
{
    auto* w = static_cast<Watched*>(cookie);
    w->Text.append(data, size);
    w->OnWrite(std::string(data, size));
    return static_cast<ssize_t>(size);
}

// An interruption after the last tile, while the output is still being
// finished, still counts: status 130 and nothing left behind.
TEST_F(HostileTest, AnInterruptAfterTheLastTileStillCancels)
{
    MakeTask(5, 100, 103, 100, 100, 9);
    const auto before = SaveFolderNames();
    for (const char* format : {"gtiff", "mbtiles", "png"}) {
        std::atomic<bool> interrupted{false};
        Watched watched;
        watched.OnWrite = [&](const std::string& text) {
            if (text.find("100%") != std::string::npos)
                interrupted = true;
        };
        cookie_io_functions_t io{};
        io.write = WatchedWrite;
        std::FILE* err = ::fopencookie(&watched, "w", io);
        std::FILE* out = std::tmpfile();
        const int status = RunCommandLine({"--format", format, dir / "area.kvpd"}, out, err, &interrupted);
        std::fclose(err);
        std::fclose(out);
        EXPECT_TRUE(interrupted) << watched.Text;
        EXPECT_EQ(status, kExitCancelled) << format << "\n" << watched.Text;
        EXPECT_EQ(SaveFolderNames(), before) << format;
    }
}

// Runs platejoin with its standard output and error on a pipe that nobody
// reads (its reader has gone, as after "| head -1"); SIGPIPE as the shell
// leaves it: the default, which ends a program.
int RunWithClosedStderr(const std::vector<std::string>& args)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    ::close(fds[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[1]);
    if (rc != 0)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(HostileTest, AClosedOutputStreamDoesNotEndTheRun)
{
    const std::string program = platform::ProgramFolder() + "platejoin";
    if (!std::filesystem::exists(program))
        GTEST_SKIP() << "platejoin is built with the GUI only";
    MakeTask(5, 100, 103, 100, 101, 9);
    EXPECT_EQ(RunWithClosedStderr({program, dir / "area.kvpd"}), kExitOk);
    EXPECT_TRUE(std::filesystem::exists(dir / "area.tif"));
    for (const std::string& name : SaveFolderNames())
        EXPECT_EQ(name.find(".partial"), std::string::npos) << name;
}

} // namespace
} // namespace kartivo::join
