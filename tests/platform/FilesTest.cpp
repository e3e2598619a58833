#include "platform/Errors.h"
#include "platform/Files.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace platform;
using testsupport::ReadBytes;
using testsupport::TempFolder;
using testsupport::WriteBytes;

namespace {

TEST(Files, NameParts) {
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

TEST(Files, ExistenceTellsFilesFromFolders) {
    TempFolder dir;
    WriteBytes(dir / "f", "x");
    EXPECT_TRUE(FileExists(dir / "f"));
    EXPECT_FALSE(FileExists(dir.Path()));
    EXPECT_TRUE(DirectoryExists(dir.Path()));
    EXPECT_FALSE(DirectoryExists(dir / "f"));
    EXPECT_FALSE(FileExists(dir / "none"));
}

TEST(Files, CreateDirMakesOneLevel) {
    TempFolder dir;
    EXPECT_TRUE(CreateDir(dir / "one"));
    EXPECT_TRUE(DirectoryExists(dir / "one"));
    EXPECT_FALSE(CreateDir(dir / "one"));           // exists already
    EXPECT_FALSE(CreateDir(dir / "two/three"));     // parent missing
    EXPECT_FALSE(DirectoryExists(dir / "two"));
}

TEST(Files, WriteFileAtomicReplacesAndLeavesNoTemporary) {
    TempFolder dir;
    WriteBytes(dir / "tile.png", "old");
    const std::string bytes("\x89PNG\0data", 9);
    WriteFileAtomic(dir / "tile.png", bytes.data(), bytes.size());
    EXPECT_EQ(ReadBytes(dir / "tile.png"), bytes);
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST(Files, WriteFileAtomicIntoMissingFolderRaisesCannotCreate) {
    TempFolder dir;
    std::string path = dir / "missing/tile.png";
    try {
        WriteFileAtomic(path, "x", 1);
        FAIL() << "no error";
    } catch (const EFCreateError& e) {
        EXPECT_STREQ(e.what(), ("Cannot create file " + path).c_str());
    }
}

TEST(Files, CopyNeverReplaces) {
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

TEST(Files, ProgramFolderIsTheExecutablesFolder) {
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
