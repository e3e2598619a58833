// The settings table and its saves: every key spelled as the file has always
// spelled it, defaults without a file, and saves of several processes at once
// that lose none of each other's keys.
#include "platform/SettingsFile.h"
#include "platform/Errors.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kartivo::platform {

namespace {

using testing::ReadBytes;
using testing::WriteBytes;
namespace keys = settings;

TEST(SettingsTableTest, EveryKeyHasItsDefaultWithoutAFile)
{
    testing::TempFolder folder;
    IniLoad load = IniLoad::Loaded;
    const SettingsValues values = ReadSettings(folder / "config.ini", &load);
    EXPECT_EQ(load, IniLoad::Missing);
    EXPECT_EQ(values.Get(keys::DefaultPath), DefaultSavePathDefault());
    EXPECT_EQ(values.Get(keys::Version), "7.21");
    EXPECT_FALSE(values.Get(keys::UseProxy));
    EXPECT_EQ(values.Get(keys::ProxyServer), "");
    EXPECT_EQ(values.Get(keys::ProxyPassword), "");
    for (int i = 0; i < keys::kRecentProjects; ++i)
        EXPECT_EQ(values.Get(keys::RecentProject(i)), "") << i;
}

// The names are the file's format: a key spelled otherwise would read every
// existing settings file as empty.
TEST(SettingsTableTest, KeysAreWrittenAsTheFileSpellsThem)
{
    testing::TempFolder folder;
    const std::string file = folder / "config.ini";
    UpdateSettings(file, [](SettingsValues& v) {
        v.Set(keys::DefaultPath, "/data/maps");
        v.Set(keys::UseProxy, true);
        v.Set(keys::ProxyServer, "proxy.lan");
        v.Set(keys::ProxyPort, "3128");
        v.Set(keys::ProxyUsername, "ann");
        v.Set(keys::ProxyPassword, "");
        v.Set(keys::RecentProject(0), "/a.kvpd");
        v.Set(keys::RecentProject(7), "/h.kvpd");
    });
    EXPECT_EQ(ReadBytes(file),
              "[IniParas]\r\nDefaultPath=/data/maps\r\n"
              "[Proxy]\r\nUseProxy=1\r\nProxyServer=proxy.lan\r\nProxyPort=3128\r\n"
              "ProxyUsername=ann\r\nProxyPassword=\r\n"
              "[plateview]\r\nRecent1=/a.kvpd\r\nRecent8=/h.kvpd\r\n");
}

TEST(SettingsTableTest, TheProxyIsOnOnlyForExactlyOne)
{
    testing::TempFolder folder;
    const std::string file = folder / "config.ini";
    for (const auto& [text, on] : std::vector<std::pair<std::string, bool>>{
             {"1", true}, {"0x1", true}, {"2", false}, {"yes", false}, {"", false}, {"-1", false}}) {
        WriteBytes(file, "[Proxy]\r\nUseProxy=" + text + "\r\n");
        EXPECT_EQ(ReadSettings(file).Get(keys::UseProxy), on) << text;
    }
    UpdateSettings(file, [](SettingsValues& v) { v.Set(keys::UseProxy, false); });
    EXPECT_EQ(ReadBytes(file), "[Proxy]\r\nUseProxy=0\r\n");
}

TEST(SettingsUpdateTest, OtherKeysAndBytesStayAsTheyWere)
{
    testing::TempFolder folder;
    const std::string file = folder / "config.ini";
    const std::string before = "; mine\n[IniParas]\nVersion = 9.1 \nDefaultOutputName=x.bmp\n\n[Other]\nk=v";
    WriteBytes(file, before);
    EXPECT_EQ(ReadSettings(file).Get(keys::Version), "9.1");
    UpdateSettings(file, [](SettingsValues& v) { v.Set(keys::Version, "9.2"); });
    EXPECT_EQ(ReadBytes(file), "; mine\n[IniParas]\nVersion =9.2\nDefaultOutputName=x.bmp\n\n[Other]\nk=v");
    // Nothing beside the file: no lock file, no temporary left.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"config.ini"});
}

TEST(SettingsUpdateTest, ARefusedFileIsNeitherChangedNorReplaced)
{
    testing::TempFolder folder;
    const std::string file = folder / "config.ini";
    const std::string huge(kMaxIniFileBytes + 1, 'x');
    WriteBytes(file, huge);
    bool called = false;
    EXPECT_THROW(UpdateSettings(file, [&called](SettingsValues&) { called = true; }), EIniFileException);
    EXPECT_FALSE(called);
    EXPECT_EQ(ReadBytes(file), huge);
}

// Two programs saving at the same moment: each save reads the file, sets its
// key and replaces the file. Unlocked, a save that read the file before the
// other's replacement writes back the old text and the other's key is gone.
TEST(SettingsUpdateTest, TwoProcessesSavingAtOnceLoseNoKey)
{
    testing::TempFolder folder;
    const std::string file = folder / "config.ini";
    constexpr int kSaves = 100;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (const char* section : {"viewer", "options"}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Both start together, when the parent closes the gate.
            ::close(gate[1]);
            char byte;
            (void)!::read(gate[0], &byte, 1);
            int status = 0;
            try {
                for (int i = 0; i < kSaves; ++i) {
                    const std::string name = "Key" + std::to_string(i);
                    UpdateSettings(file, [&](SettingsValues& v) {
                        v.Set(TextSetting{section, name}, std::to_string(i));
                    });
                }
            } catch (...) {
                status = 1;
            }
            ::_exit(status);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const SettingsValues values = ReadSettings(file);
    int lost = 0;
    for (const char* section : {"viewer", "options"})
        for (int i = 0; i < kSaves; ++i)
            if (values.Get(TextSetting{section, "Key" + std::to_string(i)}) != std::to_string(i))
                ++lost;
    EXPECT_EQ(lost, 0);
}

} // namespace

} // namespace kartivo::platform
