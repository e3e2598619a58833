#include "platform/TextFile.h"
#include "platform/Errors.h"
#include "tests/support/FileBytes.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>

namespace kartivo::platform {

using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;

namespace {

using Lines = std::vector<std::string>;

TEST(TextFile, EveryLineEndsInCrLf)
{
    TempFolder dir;
    WriteLines(dir / "a.txt", {"first", "", "last"});
    EXPECT_EQ(ReadBytes(dir / "a.txt"), "first\r\n\r\nlast\r\n");
}

TEST(TextFile, NoLinesGiveAnEmptyFile)
{
    TempFolder dir;
    WriteBytes(dir / "a.txt", "old contents");
    WriteLines(dir / "a.txt", {});
    EXPECT_EQ(ReadBytes(dir / "a.txt"), "");
}

TEST(TextFile, EntryWithLineFeedIsWrittenAsItStands)
{
    TempFolder dir;
    WriteLines(dir / "a.txt", {"one\ntwo", "three"});
    EXPECT_EQ(ReadBytes(dir / "a.txt"), "one\ntwo\r\nthree\r\n");
}

TEST(TextFile, BytesAreKept)
{
    TempFolder dir;
    const std::string utf8 = "K\xC3\xB6ln \xE2\x82\xAC";
    WriteLines(dir / "a.txt", {utf8});
    EXPECT_EQ(ReadLines(dir / "a.txt"), Lines{utf8});
}

struct SplitCase {
    const char* name;
    std::string bytes;
    Lines lines;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class ReadLinesTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(ReadLinesTest, SplitsAtEveryKindOfLineEnd)
{
    TempFolder dir;
    WriteBytes(dir / "in.txt", GetParam().bytes);
    EXPECT_EQ(ReadLines(dir / "in.txt"), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Table, ReadLinesTest,
                         ::testing::Values(SplitCase{"Empty", "", {}},
                                           SplitCase{"CrLf", "a\r\nb\r\n", {"a", "b"}},
                                           SplitCase{"Lf", "a\nb\n", {"a", "b"}},
                                           SplitCase{"Cr", "a\rb\r", {"a", "b"}},
                                           SplitCase{"NoFinalEnd", "a\r\nb", {"a", "b"}},
                                           SplitCase{"Mixed", "a\rb\nc\r\nd", {"a", "b", "c", "d"}},
                                           SplitCase{"BlankLines", "\r\n\r\nx\r\n\r\n", {"", "", "x", ""}},
                                           SplitCase{"LfCrIsTwoEnds", "a\n\rb", {"a", "", "b"}},
                                           SplitCase{"CrCrLf", "a\r\r\nb", {"a", "", "b"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TextFile, MissingFileRaisesCannotOpen)
{
    TempFolder dir;
    std::string path = dir / "absent.txt";
    try {
        ReadLines(path);
        FAIL() << "no error";
    } catch (const EFOpenError& e) {
        EXPECT_STREQ(e.what(), ("Cannot open file " + path).c_str());
    }
    EXPECT_THROW(ReadLines(dir.Path()), EFOpenError); // a folder is no text file
}

TEST(TextFile, UnwritablePathRaisesCannotCreate)
{
    TempFolder dir;
    std::string path = dir / "no/such/folder.txt";
    try {
        WriteLines(path, {"x"});
        FAIL() << "no error";
    } catch (const EFCreateError& e) {
        EXPECT_STREQ(e.what(), ("Cannot create file " + path).c_str());
    }
    EXPECT_THROW(TextFileWriter{path}, EFCreateError);
}

TEST(TextFileWriter, WritesWhatWriteLinesWrites)
{
    TempFolder dir;
    // Enough lines to pass the writer's chunk size several times, with an
    // empty entry and one holding a line feed.
    Lines lines;
    for (int i = 0; i < 60000; ++i)
        lines.push_back("line " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 37), '.'));
    lines.push_back("");
    lines.push_back("a\nb");
    lines.push_back(std::string(3 << 20, 'L')); // larger than the writer's buffer
    lines.push_back("after the long one");
    WriteLines(dir / "whole.txt", lines);
    {
        TextFileWriter writer(dir / "streamed.txt");
        for (const std::string& line : lines)
            writer.WriteLine(line);
        writer.Close();
        writer.Close(); // a second close does nothing
    }
    EXPECT_EQ(ReadBytes(dir / "streamed.txt"), ReadBytes(dir / "whole.txt"));
}

// The file appears whole at Close or not at all: a writer abandoned midway
// (an exception, a kill) leaves an earlier file as it was and no temporary.
TEST(TextFileWriter, UnclosedWriterLeavesTheOldFileAndNoTemporary)
{
    TempFolder dir;
    WriteLines(dir / "a.txt", {"old"});
    {
        TextFileWriter writer(dir / "a.txt");
        writer.WriteLine("x");
    }
    EXPECT_EQ(ReadBytes(dir / "a.txt"), "old\r\n");
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(dir.Path()), std::filesystem::directory_iterator()),
        1);
}

// The disk fills during a flush: the error is raised, the old file stays,
// and the destructor writes nothing more anywhere.
TEST(TextFileWriter, FailedWriteLeavesTheOldFile)
{
    TempFolder dir;
    WriteLines(dir / "a.txt", {"old"});
    const std::string first(600 * 1024, 'a');
    const std::string second(600 * 1024, 'b');
    {
        TextFileWriter writer(dir / "a.txt");
        writer.WriteLine(first);
        {
            testing::FileSizeLimit full(1000);
            EXPECT_THROW(writer.WriteLine(second), EFCreateError); // flushes `first`
        }
        EXPECT_THROW(writer.WriteLine("more"), EFCreateError);
    }
    EXPECT_EQ(ReadBytes(dir / "a.txt"), "old\r\n");
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(dir.Path()), std::filesystem::directory_iterator()),
        1);
}

} // namespace

} // namespace kartivo::platform
