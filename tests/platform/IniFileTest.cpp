#include "platform/IniFile.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Settings.h"
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

class IniFileTest : public ::testing::Test {
protected:
    TempFolder dir;
    std::string path = dir / "config.ini";
    TIniFile ini{path};
};

TEST_F(IniFileTest, NamesAreComparedWithoutCaseAndBlanksAreIgnored)
{
    WriteBytes(path,
               "[IniParas]\r\nDefaultPath=/home/a/orvanta\r\n"
               " [ Proxy ] \r\n  ProxyServer  =   10.0.0.1 \t\r\nProxyPort=8080\r\n");
    EXPECT_EQ(ini.ReadString("iniparas", "DEFAULTPATH", "x"), "/home/a/orvanta");
    EXPECT_EQ(ini.ReadString("PROXY", "proxyserver", "x"), "10.0.0.1");
    EXPECT_EQ(ini.ReadString("Proxy", "ProxyPort", "x"), "8080");
}

TEST_F(IniFileTest, AbsentKeyGivesDefaultPresentEmptyGivesEmpty)
{
    WriteBytes(path, "[IniParas]\r\nVersion=\r\nBlank=   \r\n");
    EXPECT_EQ(ini.ReadString("IniParas", "Version", "7.21"), "");
    EXPECT_EQ(ini.ReadString("IniParas", "Blank", "d"), "");
    EXPECT_EQ(ini.ReadString("IniParas", "DefaultOutputName", "bigmap.bmp"), "bigmap.bmp");
    EXPECT_EQ(ini.ReadString("Other", "Version", "7.21"), "7.21");
    EXPECT_EQ(ini.ReadInteger("IniParas", "Version", 42), 42);
}

TEST_F(IniFileTest, MissingFileGivesDefaults)
{
    EXPECT_EQ(ini.ReadString("IniParas", "Version", "7.21"), "7.21");
    EXPECT_EQ(ini.ReadInteger("Proxy", "UseProxy", 0), 0);
}

TEST_F(IniFileTest, KeysOfAnotherSectionOrOutsideAnyAreNotSeen)
{
    WriteBytes(path, "Top=1\r\n[A]\r\nKey=a\r\n[B]\r\nKey=b\r\nOnlyB=2\r\n");
    EXPECT_EQ(ini.ReadString("A", "Key", ""), "a");
    EXPECT_EQ(ini.ReadString("B", "Key", ""), "b");
    EXPECT_EQ(ini.ReadString("A", "OnlyB", "none"), "none");
    EXPECT_EQ(ini.ReadString("A", "Top", "none"), "none");
}

TEST_F(IniFileTest, FirstOfDuplicateKeysWins)
{
    WriteBytes(path, "[A]\nKey=first\nKey=second\n");
    EXPECT_EQ(ini.ReadString("A", "Key", ""), "first");
}

TEST_F(IniFileTest, EnclosingQuotesAreDropped)
{
    WriteBytes(path, "[A]\r\nD=\"quoted value\"\r\nS='x'\r\nHalf=\"open\r\n");
    EXPECT_EQ(ini.ReadString("A", "D", ""), "quoted value");
    EXPECT_EQ(ini.ReadString("A", "S", ""), "x");
    EXPECT_EQ(ini.ReadString("A", "Half", ""), "\"open");
}

TEST_F(IniFileTest, AtMost2047CharactersComeBack)
{
    std::string longValue(3000, 'v');
    longValue[2046] = 'L';
    WriteBytes(path, "[A]\r\nLong=" + longValue + "\r\nExact=" + std::string(2047, 'e') + "\r\n");
    std::string read = ini.ReadString("A", "Long", "");
    ASSERT_EQ(read.size(), 2047u);
    EXPECT_EQ(read.back(), 'L');
    EXPECT_EQ(ini.ReadString("A", "Exact", "").size(), 2047u);
}

TEST_F(IniFileTest, ReadsFilesWithAnyLineEnd)
{
    WriteBytes(path, "[A]\rK1=1\r[B]\nK2=2\n[C]\r\nK3=3");
    EXPECT_EQ(ini.ReadInteger("A", "K1", 0), 1);
    EXPECT_EQ(ini.ReadInteger("B", "K2", 0), 2);
    EXPECT_EQ(ini.ReadInteger("C", "K3", 0), 3);
}

struct IntCase {
    const char* text;
    bool ok;
    int value;
};

void PrintTo(const IntCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class IniIntegerTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(IniIntegerTest, ParsesLikeWindows)
{
    const IntCase& c = GetParam();
    int value = -777;
    EXPECT_EQ(ParseIniInteger(c.text, value), c.ok) << c.text;
    if (c.ok)
        EXPECT_EQ(value, c.value) << c.text;
    else
        EXPECT_EQ(value, -777) << "untouched on failure: " << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniIntegerTest,
    ::testing::Values(IntCase{"0", true, 0}, IntCase{"1", true, 1}, IntCase{"007", true, 7},
                      IntCase{"+5", true, 5}, IntCase{"-12", true, -12}, IntCase{"0x1", true, 1},
                      IntCase{"0X1f", true, 31}, IntCase{"$10", true, 16}, IntCase{"x10", true, 16},
                      IntCase{"-0x10", true, -16}, IntCase{"0xFfFf", true, 65535},
                      IntCase{"2147483647", true, 2147483647}, IntCase{"-2147483648", true, -2147483647 - 1},
                      IntCase{"0x7FFFFFFF", true, 2147483647}, IntCase{"2147483648", false, 0},
                      IntCase{"-2147483649", false, 0}, IntCase{"0x80000000", false, 0},
                      IntCase{"0xFFFFFFFF", false, 0}, IntCase{"99999999999999999999999", false, 0},
                      IntCase{"", false, 0}, IntCase{"-", false, 0}, IntCase{"0x", false, 0},
                      IntCase{"$", false, 0}, IntCase{"yes", false, 0}, IntCase{"1.5", false, 0},
                      IntCase{"12abc", false, 0}, IntCase{"0x1G", false, 0}, IntCase{"1 2", false, 0},
                      IntCase{"1e3", false, 0}));

TEST_F(IniFileTest, ReadIntegerTrimsAndFallsBackToDefault)
{
    WriteBytes(path, "[Proxy]\r\nUseProxy =  0x1 \r\nTwo=2\r\nWord=yes\r\n");
    EXPECT_EQ(ini.ReadInteger("Proxy", "UseProxy", 0), 1);
    EXPECT_EQ(ini.ReadInteger("Proxy", "Two", 0), 2);
    EXPECT_EQ(ini.ReadInteger("Proxy", "Word", -3), -3);
}

TEST_F(IniFileTest, UpdateChangesOnlyThatLine)
{
    // Odd spacing, comments, LF-only and CR-only lines and a last line without
    // an end must all survive a key update byte for byte.
    const std::string before =
        "; comment\r\n[MapsType]\r\nMapsType=5\r\n\r\n[THREADS]\n"
        "ThreadCount=3\nT1X=\r\n  t1y = \r\nnoequals\rT2X=\r\n[Zoom]\r\nZoom=13";
    WriteBytes(path, before);
    ini.WriteInteger("threads", "T1X", 4149);
    ini.WriteString("Threads", "T1Y", "5373");
    EXPECT_EQ(ReadBytes(path),
              "; comment\r\n[MapsType]\r\nMapsType=5\r\n\r\n[THREADS]\n"
              "ThreadCount=3\nT1X=4149\r\n  t1y =5373\r\nnoequals\rT2X=\r\n"
              "[Zoom]\r\nZoom=13");
    ini.WriteInteger("Zoom", "Zoom", -7);
    EXPECT_EQ(ini.ReadInteger("ZOOM", "zoom", 0), -7);
    std::string after = ReadBytes(path);
    EXPECT_EQ(after.substr(after.rfind('[')), "[Zoom]\r\nZoom=-7");
}

TEST_F(IniFileTest, MissingKeyGoesToTheEndOfItsSection)
{
    WriteBytes(path, "[IniParas]\r\nDefaultPath=/a\r\n\r\n[Proxy]\r\nUseProxy=0\r\n");
    ini.WriteString("IniParas", "Version", "8.0");
    ini.WriteString("Proxy", "ProxyServer", "host");
    EXPECT_EQ(ReadBytes(path),
              "[IniParas]\r\nDefaultPath=/a\r\nVersion=8.0\r\n\r\n"
              "[Proxy]\r\nUseProxy=0\r\nProxyServer=host\r\n");
}

TEST_F(IniFileTest, MissingKeyInEmptySectionFollowsItsHeader)
{
    WriteBytes(path, "[A]\r\n\r\n[B]\r\nx=1");
    ini.WriteString("A", "k", "v");
    ini.WriteString("B", "y", "2");
    EXPECT_EQ(ReadBytes(path), "[A]\r\nk=v\r\n\r\n[B]\r\nx=1\r\ny=2");
}

TEST_F(IniFileTest, MissingSectionGoesToTheEndOfTheFile)
{
    WriteBytes(path, "[A]\r\nk=v");
    ini.WriteString("Proxy", "UseProxy", "1");
    EXPECT_EQ(ReadBytes(path), "[A]\r\nk=v\r\n[Proxy]\r\nUseProxy=1\r\n");
}

TEST_F(IniFileTest, FirstWriteCreatesTheFile)
{
    ini.WriteString("IniParas", "DefaultPath", "/home/u/orvanta");
    ini.WriteInteger("Proxy", "UseProxy", 1);
    EXPECT_EQ(ReadBytes(path),
              "[IniParas]\r\nDefaultPath=/home/u/orvanta\r\n"
              "[Proxy]\r\nUseProxy=1\r\n");
    EXPECT_EQ(ini.ReadString("IniParas", "DefaultPath", ""), "/home/u/orvanta");
}

TEST_F(IniFileTest, RefusedWriteRaisesUnableToWrite)
{
    std::string missing = dir / "ini/config.ini";
    TIniFile refused(missing);
    try {
        refused.WriteString("IniParas", "DefaultPath", "/x");
        FAIL() << "no error";
    } catch (const EIniFileException& e) {
        EXPECT_STREQ(e.what(), ("Unable to write to " + missing).c_str());
    }
    EXPECT_EQ(refused.ReadString("IniParas", "DefaultPath", "def"), "def");
}

TEST_F(IniFileTest, WriteThatRunsOutOfSpaceKeepsTheFileAsItWas)
{
    const std::string before = "[THREADS]\r\nThreadCount=8\r\nT1X=\r\nT1Y=\r\n";
    WriteBytes(path, before);
    {
        testing::FileSizeLimit full(before.size());
        EXPECT_THROW(ini.WriteString("THREADS", "T1X", "123456"), EIniFileException);
    }
    EXPECT_EQ(ReadBytes(path), before);
}

mode_t ModeOf(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// The settings file holds the proxy password: the write that creates it
// makes it readable by its owner only. Other INI files are created as usual.
TEST_F(IniFileTest, SettingsFileIsCreatedForItsOwnerOnly)
{
    const mode_t savedMask = ::umask(022);
    SetProgramFolderForTests(dir.Path());
    std::filesystem::create_directory(dir / "ini");
    TIniFile settings(SettingsFileName());
    settings.WriteString("Proxy", "ProxyPassword", "secret");
    EXPECT_EQ(ModeOf(SettingsFileName()), 0600u);
    settings.WriteString("Proxy", "ProxyUsername", "user");
    EXPECT_EQ(ModeOf(SettingsFileName()), 0600u); // and stays so
    ini.WriteString("THREADS", "ThreadCount", "8");
    EXPECT_EQ(ModeOf(path), 0644u);
    SetProgramFolderForTests("");
    ::umask(savedMask);
}

// A file without write permission is refused with the usual text, also for
// root, and not written in place either.
TEST_F(IniFileTest, ReadOnlyFileIsRefused)
{
    const std::string before = "[IniParas]\r\nDefaultPath=/a\r\n";
    WriteBytes(path, before);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    try {
        ini.WriteString("IniParas", "DefaultPath", "/b");
        FAIL() << "no error";
    } catch (const EIniFileException& e) {
        EXPECT_STREQ(e.what(), ("Unable to write to " + path).c_str());
    }
    EXPECT_EQ(ReadBytes(path), before);
}

// A name too long for the old temporary name was written in place, where a
// crash leaves half a file; it is replaced whole like any other.
TEST_F(IniFileTest, LongNameIsStillReplacedWhole)
{
    const std::string longPath = dir / (std::string(245, 'p') + ".kvpd");
    WriteBytes(longPath, "[THREADS]\r\nT1X=\r\n");
    struct stat before {};
    ASSERT_EQ(::stat(longPath.c_str(), &before), 0);
    TIniFile(longPath).WriteString("THREADS", "T1X", "4149");
    struct stat after {};
    ASSERT_EQ(::stat(longPath.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "written in place";
    EXPECT_EQ(ReadBytes(longPath), "[THREADS]\r\nT1X=4149\r\n");
}

} // namespace

} // namespace kartivo::platform
