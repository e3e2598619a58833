// Which settings file a copy of the program uses: its own ini/ folder when
// that is writable, else the user's XDG configuration folder, made private
// when first written. Every case runs as root too (CI does), where the mode
// bits, not access(), must decide.
#include "platform/Settings.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kartivo::platform {

namespace {

namespace fs = std::filesystem;

std::optional<std::string> Env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

void Restore(const char* name, const std::optional<std::string>& value)
{
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

unsigned Mode(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777u) : 0u;
}

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(program.Path() + "ini");
        SetProgramFolderForTests(program.Path());
        setenv("HOME", (home.Path() + "user").c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
    }
    void TearDown() override
    {
        // Let the temporary folders go, whatever a test made read-only.
        fs::permissions(program.Path(), fs::perms::owner_all, fs::perm_options::add);
        if (fs::exists(program.Path() + "ini"))
            fs::permissions(program.Path() + "ini", fs::perms::owner_all, fs::perm_options::add);
        SetProgramFolderForTests("");
        Restore("HOME", savedHome);
        Restore("XDG_CONFIG_HOME", savedXdg);
    }
    void ReadOnly(const std::string& folder)
    {
        fs::permissions(folder, fs::perms(0555), fs::perm_options::replace);
    }

    std::optional<std::string> savedHome = Env("HOME");
    std::optional<std::string> savedXdg = Env("XDG_CONFIG_HOME");
    testing::TempFolder program;
    testing::TempFolder home;
    std::string ownFile = program.Path() + "ini/config.ini";
    std::string userFile = home.Path() + "user/.config/kartivo/config.ini";
};

TEST_F(SettingsFileTest, AWritableIniFolderKeepsTheSettingsBesideTheProgram)
{
    EXPECT_EQ(SettingsFileName(), ownFile);
    EXPECT_EQ(SettingsFileForWriting(), ownFile);
    EXPECT_FALSE(fs::exists(home.Path() + "user")); // nothing made in the user's folder
}

TEST_F(SettingsFileTest, AReadOnlyIniFolderSendsTheSettingsToTheUsersConfigFolder)
{
    ReadOnly(program.Path() + "ini");
    EXPECT_EQ(SettingsFileName(), userFile);
    EXPECT_FALSE(fs::exists(home.Path() + "user")); // asking creates nothing

    // The first save makes every missing level private, and the write works.
    fs::create_directory(home.Path() + "user");
    fs::permissions(home.Path() + "user", fs::perms(0750), fs::perm_options::replace);
    EXPECT_EQ(SettingsFileForWriting(), userFile);
    EXPECT_EQ(Mode(home.Path() + "user/.config"), 0700u);
    EXPECT_EQ(Mode(home.Path() + "user/.config/kartivo"), 0700u);
    EXPECT_EQ(Mode(home.Path() + "user"), 0750u); // an existing level is left as it was
    TIniFile(userFile).WriteString("IniParas", "DefaultPath", "/maps");
    EXPECT_EQ(TIniFile(userFile).ReadString("IniParas", "DefaultPath", ""), "/maps");
    EXPECT_FALSE(fs::exists(ownFile));
}

TEST_F(SettingsFileTest, XdgConfigHomeIsHonouredOnlyWhenAbsolute)
{
    ReadOnly(program.Path() + "ini");
    setenv("XDG_CONFIG_HOME", (home.Path() + "xdg/").c_str(), 1);
    EXPECT_EQ(SettingsFileName(), home.Path() + "xdg/kartivo/config.ini");
    SettingsFileForWriting();
    EXPECT_EQ(Mode(home.Path() + "xdg"), 0700u);
    EXPECT_TRUE(fs::is_directory(home.Path() + "xdg/kartivo"));

    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(SettingsFileName(), userFile);
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(SettingsFileName(), userFile);
}

TEST_F(SettingsFileTest, WithoutAnIniFolderTheProgramFolderDecides)
{
    fs::remove(program.Path() + "ini");
    // A user's own copy: the write later reports the missing folder, and
    // the ini folder is never created behind the user's back.
    EXPECT_EQ(SettingsFileForWriting(), ownFile);
    EXPECT_FALSE(fs::exists(program.Path() + "ini"));

    ReadOnly(program.Path());
    EXPECT_EQ(SettingsFileName(), userFile);
}

TEST_F(SettingsFileTest, RootDecidesByTheModeBits)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const std::string folder = home.Path() + "other";
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms(0755), fs::perm_options::replace);
    EXPECT_TRUE(MayCreateFilesIn(folder)); // root's own, with its write bit
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(MayCreateFilesIn(folder)); // someone else's, no write bit for others
    fs::permissions(folder, fs::perms(0757), fs::perm_options::replace);
    EXPECT_TRUE(MayCreateFilesIn(folder));
    ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
    fs::permissions(folder, fs::perms(0555), fs::perm_options::replace);
    EXPECT_FALSE(MayCreateFilesIn(folder)); // as the package ships ini/
}

TEST(SettingsDefaultPath, IsTheHomeFolderFollowedByOrvanta)
{
    const auto saved = Env("HOME");
    setenv("HOME", "/home/tester/", 1);
    EXPECT_EQ(DefaultSavePathDefault(), "/home/tester/orvanta");
    setenv("HOME", "/", 1);
    EXPECT_EQ(DefaultSavePathDefault(), "/orvanta");
    Restore("HOME", saved);
}

} // namespace

} // namespace kartivo::platform
