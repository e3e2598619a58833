#include "platform/SafeRead.h"
#include "platform/Errors.h"
#include "platform/IniFile.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kartivo::platform {

using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;

namespace {

TEST(SafeRead, ReadsRegularFilesWithinTheBoundAndRefusesTheRest)
{
    TempFolder dir;
    std::string bytes = "stale";
    WriteBytes(dir / "a", "12345");
    EXPECT_EQ(ReadRegularFile(dir / "a", 5, bytes), ReadStatus::Ok);
    EXPECT_EQ(bytes, "12345");
    EXPECT_EQ(ReadRegularFile(dir / "a", 4, bytes), ReadStatus::TooLarge);
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(ReadRegularFile(dir / "none", 4, bytes), ReadStatus::Missing);
    EXPECT_EQ(ReadRegularFile(dir.Path(), 4, bytes), ReadStatus::NotRegular);
    WriteBytes(dir / "empty", "");
    EXPECT_EQ(ReadRegularFile(dir / "empty", 0, bytes), ReadStatus::Ok);
    EXPECT_EQ(RegularFileSize(dir / "a"), 5);
    EXPECT_EQ(RegularFileSize(dir.Path()), -1);
}

// A named pipe with no writer would block a plain open for ever; a link to
// an endless device would be read until memory runs out.
TEST(SafeRead, NeverBlocksOnAPipeNorReadsAnEndlessDevice)
{
    TempFolder dir;
    const std::string fifo = dir / "tile.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    std::string bytes;
    EXPECT_EQ(ReadRegularFile(fifo, 1 << 20, bytes), ReadStatus::NotRegular);
    ASSERT_EQ(::symlink("/dev/zero", (dir / "zero.png").c_str()), 0);
    EXPECT_EQ(ReadRegularFile(dir / "zero.png", 1 << 20, bytes), ReadStatus::NotRegular);
    EXPECT_EQ(RegularFileSize(fifo), -1);
}

TEST(SafeRead, AHugeSparseFileIsRefusedWithoutBeingRead)
{
    TempFolder dir;
    const std::string path = dir / "huge.kvpd";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 2LL << 30), 0);
    ::close(fd);
    std::string bytes;
    EXPECT_EQ(ReadRegularFile(path, kMaxIniFileBytes, bytes), ReadStatus::TooLarge);
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(ReadStatusText(ReadStatus::TooLarge, 4 << 20), "larger than 4 MB");
}

TEST(IniFileBom, AByteOrderMarkIsSkippedOnReadingAndKeptOnWriting)
{
    TempFolder dir;
    const std::string path = dir / "p.kvpd";
    WriteBytes(path, "\xEF\xBB\xBF[MAIN]\r\nMapType=2\r\n");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("MAIN", "MapType", 0), 2);
    ini.WriteInteger("MAIN", "MapType", 3);
    EXPECT_EQ(ReadBytes(path), "\xEF\xBB\xBF[MAIN]\r\nMapType=3\r\n");
}

TEST(IniFileBounds, APipeOrAGiantFileReadsAsAbsentAndIsNeverWritten)
{
    TempFolder dir;
    const std::string fifo = dir / "config.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    TIniFile ini(fifo);
    EXPECT_EQ(ini.ReadString("S", "K", "def"), "def");
    EXPECT_THROW(ini.WriteString("S", "K", "v"), EIniFileException);
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

} // namespace
} // namespace kartivo::platform
