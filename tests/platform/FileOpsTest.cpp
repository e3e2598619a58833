// The fault-injection layer of the record files and tiles, and the writes
// built on it: a replacing write that fails or is killed at any of its
// operations leaves the old file whole and no temporary file; an append
// that fails leaves no part of its lines; stale temporary files of killed
// runs are removed, and only those.
#include "platform/FileOps.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/TextFile.h"
#include "tests/support/FaultRun.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace kartivo::platform {

using testing::FaultScope;
using testing::ReadBytes;
using testing::RunInChild;
using testing::TempFilesIn;
using testing::TempFolder;
using testing::WriteBytes;

namespace {

TEST(FileOps, ArmedFaultStrikesTheNthOperationOnceOrFromThenOn)
{
    TempFolder dir;
    FaultScope scope;
    fileops::ArmFault(2, fileops::FaultKind::FailOnce, ENOSPC);
    int fd = fileops::Open((dir / "a").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_EQ(fileops::Write(fd, "x", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(fileops::Write(fd, "y", 1), 1); // once only
    EXPECT_EQ(fileops::Fsync(fd), 0);
    EXPECT_EQ(fileops::FsyncCount(), 1);
    EXPECT_EQ(fileops::OperationCount(), 4);

    fileops::ArmFault(1, fileops::FaultKind::FailFromNow, EIO);
    EXPECT_EQ(fileops::Write(fd, "z", 1), -1);
    EXPECT_EQ(fileops::Fsync(fd), -1);
    EXPECT_EQ(errno, EIO);
    fileops::Disarm();
    EXPECT_EQ(fileops::Write(fd, "z", 1), 1);
    ::close(fd);
    EXPECT_EQ(ReadBytes(dir / "a"), "yz");
}

TEST(FileOps, ExitFaultEndsTheProcessAtThatOperation)
{
    TempFolder dir;
    const int status = RunInChild([&] {
        fileops::ArmFault(2, fileops::FaultKind::Exit);
        AppendLines(dir / "log.txt", {"one"}); // open, then the write ends it
    });
    EXPECT_EQ(status, fileops::kFaultExitStatus);
    EXPECT_EQ(ReadBytes(dir / "log.txt"), "");
}

// Every operation of a replacing write, failed or killed: the old file
// stays whole, the new one is there whole, never anything between, and no
// temporary file is left behind by a failure.
TEST(FileOps, ReplacingWriteLeavesOldOrNewFileAtEveryOperation)
{
    TempFolder dir;
    const std::string path = dir / "project.kvpd";
    const std::string oldBytes = "old contents\r\n", newBytes = "new contents, longer\r\n";
    FaultScope scope;
    fileops::StartCounting();
    WriteFileAtomic(path, oldBytes.data(), oldBytes.size());
    const long long ops = fileops::OperationCount();
    EXPECT_EQ(fileops::FsyncCount(), 2); // the file, then its folder
    ASSERT_GE(ops, 4);
    for (long long n = 1; n <= ops; ++n) {
        WriteBytes(path, oldBytes);
        fileops::ArmFault(n, fileops::FaultKind::FailOnce, ENOSPC);
        try {
            WriteFileAtomic(path, newBytes.data(), newBytes.size());
        } catch (const EFCreateError& e) {
            EXPECT_EQ(e.Error(), ENOSPC) << "operation " << n;
        }
        fileops::Disarm();
        const std::string now = ReadBytes(path);
        EXPECT_TRUE(now == oldBytes || now == newBytes) << "operation " << n;
        EXPECT_TRUE(TempFilesIn(dir.Path()).empty()) << "operation " << n;

        WriteBytes(path, oldBytes);
        const int status = RunInChild([&] {
            fileops::ArmFault(n, fileops::FaultKind::Exit);
            WriteFileAtomic(path, newBytes.data(), newBytes.size());
        });
        EXPECT_EQ(status, fileops::kFaultExitStatus) << "operation " << n;
        const std::string afterKill = ReadBytes(path);
        EXPECT_TRUE(afterKill == oldBytes || afterKill == newBytes) << "operation " << n;
        // A kill may leave its temporary file: the stale-file clean-up's job.
        RemoveStaleTempFiles(dir.Path());
        EXPECT_TRUE(TempFilesIn(dir.Path()).empty()) << "operation " << n;
    }
}

// Both replacing writes (the whole-buffer one and the streamed text file)
// flush the new file before the rename and the folder after it: two fsyncs.
// Every operation up to the rename is one the write cannot do without: a
// failure of any of them, a failed fsync of the new file included, is
// reported and leaves the old file. Only the folder's flush, after the new
// file is in place, may fail quietly.
TEST(FileOps, ReplacingWritesSyncTheNewFileAndReportEveryFailureBeforeTheRename)
{
    TempFolder dir;
    const std::string path = dir / "positions.txt";
    const std::string oldBytes = "old\r\n", newBytes = "new\r\n";
    const std::function<void()> writers[] = {[&] { WriteFileAtomic(path, newBytes.data(), newBytes.size()); },
                                             [&] {
                                                 TextFileWriter writer(path);
                                                 writer.WriteLine("new");
                                                 writer.Close();
                                             }};
    FaultScope scope;
    for (int w = 0; w < 2; ++w) {
        WriteBytes(path, oldBytes);
        fileops::StartCounting();
        writers[w]();
        const long long ops = fileops::OperationCount();
        EXPECT_EQ(fileops::FsyncCount(), 2) << "writer " << w;
        ASSERT_GE(ops, 5) << "writer " << w; // open, write, fsync, rename, folder fsync
        for (long long n = 1; n <= ops; ++n) {
            WriteBytes(path, oldBytes);
            fileops::ArmFault(n, fileops::FaultKind::FailOnce, EIO);
            bool reported = false;
            try {
                writers[w]();
            } catch (const EFCreateError& e) {
                reported = true;
                EXPECT_EQ(e.Error(), EIO) << "writer " << w << ", operation " << n;
            }
            fileops::Disarm();
            const bool folderFlush = n == ops;
            EXPECT_EQ(reported, !folderFlush) << "writer " << w << ", operation " << n;
            EXPECT_EQ(ReadBytes(path), folderFlush ? newBytes : oldBytes)
                << "writer " << w << ", operation " << n;
            EXPECT_TRUE(TempFilesIn(dir.Path()).empty()) << "writer " << w << ", operation " << n;
        }
    }
}

TEST(FileOps, FailedAppendLeavesTheFileAsItWas)
{
    TempFolder dir;
    const std::string path = dir / "log.txt";
    WriteBytes(path, "header\r\n");
    FaultScope scope;
    for (long long n = 2; n <= 3; ++n) { // the write, then the fsync
        fileops::ArmFault(n, fileops::FaultKind::FailOnce, ENOSPC);
        EXPECT_THROW(AppendLines(path, {"line one", "line two"}), EFCreateError);
        EXPECT_EQ(ReadBytes(path), "header\r\n") << "operation " << n;
    }
    fileops::Disarm();
    AppendLines(path, {"line one"});
    EXPECT_EQ(ReadBytes(path), "header\r\nline one\r\n");
}

TEST(TextFileAppend, LineCutShortIsEndedBeforeNewLines)
{
    TempFolder dir;
    const std::string path = dir / "log.txt";
    WriteBytes(path, "header\r\nT1:seq=4,a.p"); // a run killed mid-line
    EXPECT_FALSE(EndsWithLineEnd(path));
    AppendLines(path, {"Log continue..."});
    EXPECT_EQ(ReadBytes(path), "header\r\nT1:seq=4,a.p\r\nLog continue...\r\n");
    EXPECT_TRUE(EndsWithLineEnd(path));
    AppendLines(dir / "absent.txt", {"made"});
    EXPECT_EQ(ReadBytes(dir / "absent.txt"), "made\r\n");
}

// A named pipe under a record's name is refused at once, never waited on.
TEST(TextFileAppend, NamedPipeIsRefusedWithoutWaiting)
{
    TempFolder dir;
    const std::string path = dir / "log.txt";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_THROW(AppendLines(path, {"line"}), EFCreateError);
    EXPECT_THROW(ReadLastLines(path, 10, 100), EFOpenError);
    EXPECT_FALSE(EndsWithLineEnd(path));
}

TEST(TextFileTail, ReadsOnlyTheLastLinesWithinItsBounds)
{
    TempFolder dir;
    const std::string path = dir / "log.txt";
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += "line " + std::to_string(i) + "\r\n";
    WriteBytes(path, text);
    EXPECT_EQ(ReadLastLines(path, 3, 1 << 20),
              (std::vector<std::string>{"line 4997", "line 4998", "line 4999"}));
    // The byte bound wins: a line it cuts is left out, never half shown.
    const auto bounded = ReadLastLines(path, 1000, 25);
    EXPECT_EQ(bounded, (std::vector<std::string>{"line 4998", "line 4999"}));
    // A bound that falls between the CR and the LF of a line end.
    EXPECT_EQ(ReadLastLines(path, 1000, 12), (std::vector<std::string>{"line 4999"}));
    EXPECT_EQ(ReadLastLines(path, 1000, 13), (std::vector<std::string>{"line 4999"}));
    // Small files come whole, as ReadLines gives them.
    WriteBytes(path, "a\nb\rc");
    EXPECT_EQ(ReadLastLines(path, 10, 100), ReadLines(path));
    EXPECT_THROW(ReadLastLines(dir / "absent", 1, 1), EFOpenError);
}

TEST(StaleTempFiles, OnlyThePatternOfDeadProcessesIsRemoved)
{
    TempFolder dir;
    // A process id that cannot be running (above the kernel's limit).
    const std::string dead = ".kartivo.99999999.3.tmp";
    const std::string mine = ".kartivo." + std::to_string(::getpid()) + ".1.tmp";
    const std::vector<std::string> kept = {mine,
                                           ".kartivo.x.1.tmp",
                                           ".kartivo.12.tmp",
                                           "kartivo.99999999.1.tmp",
                                           ".kartivo.99999999.1.tmp.png",
                                           "tile.png"};
    WriteBytes(dir / dead, "x");
    for (const auto& name : kept)
        WriteBytes(dir / name, "x");
    std::filesystem::create_directory(dir / "sub");
    WriteBytes(dir / "sub/.kartivo.99999999.4.tmp", "x");
    EXPECT_EQ(RemoveStaleTempFiles(dir.Path()), 1);
    EXPECT_FALSE(std::filesystem::exists(dir / dead));
    for (const auto& name : kept)
        EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;
    EXPECT_TRUE(std::filesystem::exists(dir / "sub/.kartivo.99999999.4.tmp")); // not its folder
}

} // namespace

} // namespace kartivo::platform
