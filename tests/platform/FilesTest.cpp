#include "platform/Files.h"
#include "platform/Errors.h"
#include "tests/support/FileBytes.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace kartivo::platform {

using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;

namespace {

int EntriesIn(const std::string& folder)
{
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        (void)e;
        ++entries;
    }
    return entries;
}

TEST(Files, NameParts)
{
    EXPECT_EQ(ExtractFileExt("a.b.kvpd"), ".kvpd");
    EXPECT_EQ(ExtractFileExt("/x/newtask.kvpd"), ".kvpd");
    EXPECT_EQ(ExtractFileExt("/x.y/name"), "");
    EXPECT_EQ(ExtractFileExt("name"), "");
    EXPECT_EQ(ExtractFilePath("/a/b/c.txt"), "/a/b/");
    EXPECT_EQ(ExtractFilePath("c.txt"), "");
    EXPECT_EQ(ExtractFileName("/a/b/c.txt"), "c.txt");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/a"), "/a/");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/a/"), "/a/");
}

TEST(Files, ExistenceTellsFilesFromFolders)
{
    TempFolder dir;
    WriteBytes(dir / "f", "x");
    EXPECT_TRUE(FileExists(dir / "f"));
    EXPECT_FALSE(FileExists(dir.Path()));
    EXPECT_TRUE(DirectoryExists(dir.Path()));
    EXPECT_FALSE(DirectoryExists(dir / "f"));
    EXPECT_FALSE(FileExists(dir / "none"));
}

TEST(Files, CreateDirMakesOneLevel)
{
    TempFolder dir;
    EXPECT_TRUE(CreateDir(dir / "one"));
    EXPECT_TRUE(DirectoryExists(dir / "one"));
    EXPECT_FALSE(CreateDir(dir / "one"));       // exists already
    EXPECT_FALSE(CreateDir(dir / "two/three")); // parent missing
    EXPECT_FALSE(DirectoryExists(dir / "two"));
}

TEST(Files, WriteFileAtomicReplacesAndLeavesNoTemporary)
{
    TempFolder dir;
    WriteBytes(dir / "tile.png", "old");
    const std::string bytes("\x89PNG\0data", 9);
    WriteFileAtomic(dir / "tile.png", bytes.data(), bytes.size());
    EXPECT_EQ(ReadBytes(dir / "tile.png"), bytes);
    EXPECT_EQ(EntriesIn(dir.Path()), 1);
}

TEST(Files, WriteFileAtomicIntoMissingFolderRaisesCannotCreate)
{
    TempFolder dir;
    std::string path = dir / "missing/tile.png";
    try {
        WriteFileAtomic(path, "x", 1);
        FAIL() << "no error";
    } catch (const EFCreateError& e) {
        EXPECT_STREQ(e.what(), ("Cannot create file " + path).c_str());
    }
}

struct stat StatOf(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

// The umask for one test, restored afterwards.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(saved_); }

private:
    mode_t saved_;
};

// A replaced file keeps what the old one had: its permission bits, its owner
// and group (root may set any), and a new file gets the mode asked for.
TEST(Files, ReplacingKeepsPermissionsOwnerAndGroup)
{
    ScopedUmask mask(022);
    TempFolder dir;
    const std::string path = dir / "config.ini";
    WriteBytes(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(path.c_str(), 1234, 5678), 0);
    }
    WriteFileAtomic(path, "new", 3);
    EXPECT_EQ(ReadBytes(path), "new");
    const struct stat st = StatOf(path);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    if (root) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
    }

    WriteFileAtomic(dir / "plain", "x", 1);
    EXPECT_EQ(StatOf(dir / "plain").st_mode & 07777, 0644u);
    WriteFileAtomic(dir / "secret", "x", 1, NewFileAccess::OwnerOnly);
    EXPECT_EQ(StatOf(dir / "secret").st_mode & 07777, 0600u);
    // Owner-only is for a file that is created; an existing one keeps its bits.
    WriteFileAtomic(dir / "plain", "y", 1, NewFileAccess::OwnerOnly);
    EXPECT_EQ(StatOf(dir / "plain").st_mode & 07777, 0644u);
    EXPECT_EQ(EntriesIn(dir.Path()), 3);
}

// A file that nobody may write is refused, also when the process is root
// (CI), and stays as it was.
TEST(Files, ReadOnlyTargetIsRefused)
{
    TempFolder dir;
    const std::string path = dir / "tile.png";
    WriteBytes(path, "kept");
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    try {
        WriteFileAtomic(path, "new", 3);
        FAIL() << "no error";
    } catch (const EFCreateError& e) {
        EXPECT_STREQ(e.what(), ("Cannot create file " + path).c_str());
    }
    EXPECT_THROW(TryWriteFileAtomic(path, "new", 3), EFCreateError); // no way in place either
    EXPECT_EQ(ReadBytes(path), "kept");
    EXPECT_EQ(EntriesIn(dir.Path()), 1);
}

// Through a symbolic link the file it names is replaced; the link stays.
TEST(Files, LinksAreFollowed)
{
    TempFolder dir;
    std::filesystem::create_directory(dir / "real");
    WriteBytes(dir / "real/config.ini", "old");
    ASSERT_EQ(::symlink("real/config.ini", (dir / "link.ini").c_str()), 0); // relative
    ASSERT_EQ(::symlink((dir / "link.ini").c_str(), (dir / "chain.ini").c_str()), 0);
    WriteFileAtomic(dir / "chain.ini", "new", 3);
    EXPECT_TRUE(S_ISLNK(StatOf(dir / "chain.ini").st_mode));
    EXPECT_TRUE(S_ISLNK(StatOf(dir / "link.ini").st_mode));
    EXPECT_EQ(ReadBytes(dir / "real/config.ini"), "new");
    EXPECT_EQ(EntriesIn(dir / "real"), 1);

    // A link to a file not there yet creates that file.
    ASSERT_EQ(::symlink("real/later.ini", (dir / "dangling.ini").c_str()), 0);
    WriteFileAtomic(dir / "dangling.ini", "made", 4);
    EXPECT_TRUE(S_ISLNK(StatOf(dir / "dangling.ini").st_mode));
    EXPECT_EQ(ReadBytes(dir / "real/later.ini"), "made");
}

// Only a folder that refuses new files lets the caller write in place; a
// full disk or any other failure is an error, and the old file stays whole.
TEST(Files, FailuresOtherThanARefusingFolderAreErrors)
{
    TempFolder dir;
    const std::string path = dir / "job.kvpd";
    WriteBytes(path, "old contents");
    {
        testing::FileSizeLimit full(4);
        EXPECT_THROW(TryWriteFileAtomic(path, "new contents", 12), EFCreateError);
    }
    EXPECT_EQ(ReadBytes(path), "old contents");
    EXPECT_EQ(EntriesIn(dir.Path()), 1);
    EXPECT_THROW(TryWriteFileAtomic(dir / "missing/job.kvpd", "x", 1), EFCreateError);

    // A name near the length limit still leaves room for the temporary file.
    const std::string longName = dir / std::string(250, 'n');
    WriteBytes(longName, "old");
    EXPECT_TRUE(TryWriteFileAtomic(longName, "new", 3));
    EXPECT_EQ(ReadBytes(longName), "new");
}

TEST(Files, CopyNeverReplaces)
{
    TempFolder dir;
    WriteBytes(dir / "from", "new bytes");
    WriteBytes(dir / "to", "kept");
    EXPECT_FALSE(CopyFileNoReplace(dir / "from", dir / "to"));
    EXPECT_EQ(ReadBytes(dir / "to"), "kept");
    EXPECT_TRUE(CopyFileNoReplace(dir / "from", dir / "copy"));
    EXPECT_EQ(ReadBytes(dir / "copy"), "new bytes");
    EXPECT_FALSE(CopyFileNoReplace(dir / "absent", dir / "other"));
    EXPECT_FALSE(FileExists(dir / "other"));
}

TEST(Files, ProgramFolderIsTheExecutablesFolder)
{
    std::string folder = ProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), PathDelim);
    EXPECT_TRUE(FileExists(folder + "test_platform"));
    SetProgramFolderForTests("/opt/kartivo");
    EXPECT_EQ(ProgramFolder(), "/opt/kartivo/");
    SetProgramFolderForTests("");
    EXPECT_EQ(ProgramFolder(), folder);
}

} // namespace

} // namespace kartivo::platform
