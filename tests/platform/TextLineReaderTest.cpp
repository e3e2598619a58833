#include "platform/TextLineReader.h"
#include "platform/Errors.h"
#include "platform/TextFile.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

namespace kartivo::platform {

using testing::TempFolder;
using testing::WriteBytes;

namespace {

std::vector<std::string> AllLines(TextLineReader& reader)
{
    std::vector<std::string> lines;
    std::string line;
    while (reader.Next(line))
        lines.push_back(line);
    return lines;
}

// The same lines as reading the file whole, whatever the line ends and
// wherever the reader's chunks happen to split them (a CR LF across two
// chunks is one line end).
TEST(TextLineReader, GivesTheLinesOfAWholeFileRead)
{
    TempFolder dir;
    const std::string longLine(64 * 1024 - 1, 'x'); // its CR falls on the chunk's last byte
    for (const std::string& bytes : {std::string("a\r\nb\nc\rd"), std::string("a\r\n\r\n"), std::string("\n"),
                                     std::string(""), longLine + "\r\nnext\r\n", longLine + "y\r\n"}) {
        WriteBytes(dir / "list.ftl", bytes);
        TextLineReader reader(dir / "list.ftl", 128 * 1024);
        EXPECT_EQ(AllLines(reader), ReadLines(dir / "list.ftl")) << bytes.substr(0, 20);
        reader.Rewind();
        EXPECT_EQ(reader.CountRemaining(), ReadLines(dir / "list.ftl").size());
    }
}

TEST(TextLineReader, CutsAnOverlongLineAndGoesOnWithTheNext)
{
    TempFolder dir;
    WriteBytes(dir / "list.ftl", std::string(300000, 'z') + "\r\nshort\r\n");
    TextLineReader reader(dir / "list.ftl", 1000);
    std::string line;
    ASSERT_TRUE(reader.Next(line));
    EXPECT_EQ(line, std::string(1000, 'z'));
    EXPECT_TRUE(reader.LastLineCut());
    ASSERT_TRUE(reader.Next(line));
    EXPECT_EQ(line, "short");
    EXPECT_FALSE(reader.LastLineCut());
    EXPECT_FALSE(reader.Next(line));
}

// A named pipe without a writer would block a plain open for ever.
TEST(TextLineReader, OpensRegularFilesOnly)
{
    TempFolder dir;
    ASSERT_EQ(::mkfifo((dir / "pipe.ftl").c_str(), 0600), 0);
    EXPECT_THROW(TextLineReader(dir / "pipe.ftl"), EFOpenError);
    EXPECT_THROW(TextLineReader(dir / "missing.ftl"), EFOpenError);
    EXPECT_THROW(TextLineReader(dir.Path()), EFOpenError);
}

} // namespace

} // namespace kartivo::platform
