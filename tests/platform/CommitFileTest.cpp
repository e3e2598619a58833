// Committing finished files: flushed before renamed, every file before any
// rename when several go together, and a failure that says which file it met
// and how many already took their places.
#include "platform/CommitFile.h"
#include "platform/FileOps.h"
#include "tests/support/FaultRun.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace kartivo::platform {

namespace {

using testing::ReadBytes;
using testing::WriteBytes;

TEST(CommitFile, AFailedFlushLeavesTheTargetAndRenamesNothing)
{
    testing::TempFolder folder;
    testing::FaultScope scope;
    const std::string temp = folder / "new.tmp", target = folder / "file";
    WriteBytes(target, "old");
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(fileops::WriteAll(fd, "new", 3));
    fileops::ArmFault(1, fileops::FaultKind::FailOnce, EIO); // the flush
    EXPECT_EQ(CommitFile(fd, temp, target), EIO);
    EXPECT_EQ(ReadBytes(target), "old");
    EXPECT_EQ(ReadBytes(temp), "new"); // the caller's to remove

    const int again = ::open(temp.c_str(), O_WRONLY);
    fileops::Disarm();
    fileops::StartCounting();
    EXPECT_EQ(CommitFile(again, temp, target), 0);
    EXPECT_EQ(fileops::FsyncCount(), 2); // the file, then its folder
    EXPECT_EQ(ReadBytes(target), "new");
    EXPECT_FALSE(std::filesystem::exists(temp));
}

TEST(CommitFiles, EveryFileIsFlushedBeforeAnyRename)
{
    testing::TempFolder folder;
    testing::FaultScope scope;
    std::filesystem::create_directory(folder / "sub");
    const std::vector<FileCommit> files{{folder / "a.tmp", folder / "a"},
                                        {folder / "b.tmp", folder / "b"},
                                        {folder / "sub/c.tmp", folder / "sub/c"}};
    auto reset = [&] {
        for (const FileCommit& f : files) {
            WriteBytes(f.Temp, "new");
            WriteBytes(f.Target, "old");
        }
    };
    // Operations: open and flush a, b, c (1 to 6), then rename a, b, c (7 to 9).
    reset();
    fileops::ArmFault(4, fileops::FaultKind::FailOnce, EIO); // b's flush
    CommitResult r = CommitFiles(files);
    EXPECT_EQ(r.Error, EIO);
    EXPECT_EQ(r.Index, 1u);
    EXPECT_EQ(r.Placed, 0u);
    for (const FileCommit& f : files)
        EXPECT_EQ(ReadBytes(f.Target), "old") << f.Target;

    reset();
    fileops::ArmFault(8, fileops::FaultKind::FailOnce, EXDEV); // b's rename
    r = CommitFiles(files);
    EXPECT_EQ(r.Error, EXDEV);
    EXPECT_EQ(r.Index, 1u);
    EXPECT_EQ(r.Placed, 1u);
    EXPECT_EQ(ReadBytes(files[0].Target), "new");
    EXPECT_EQ(ReadBytes(files[1].Target), "old");

    reset();
    fileops::Disarm();
    fileops::StartCounting();
    r = CommitFiles(files);
    EXPECT_EQ(r.Error, 0);
    EXPECT_EQ(r.Placed, 3u);
    EXPECT_EQ(fileops::FsyncCount(), 3 + 2); // each file, each of the two folders
    for (const FileCommit& f : files) {
        EXPECT_EQ(ReadBytes(f.Target), "new");
        EXPECT_FALSE(std::filesystem::exists(f.Temp));
    }

    const CommitResult missing = CommitFiles({{folder / "gone.tmp", folder / "gone"}});
    EXPECT_EQ(missing.Error, ENOENT);
    EXPECT_EQ(missing.Placed, 0u);
}

} // namespace

} // namespace kartivo::platform
