// The options dialog against a real settings file in a temporary program
// folder: what it shows, what OK writes and in which order, what Cancel and
// a refused write leave behind.
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/Settings.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"
#include "ui/qt/Unitoptions.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace kartivo::ui {

namespace {

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramFolderForTests(folder.Path());
        std::filesystem::create_directory(folder.Path() + "ini");
        iniFile = folder.Path() + "ini/config.ini";
        if (const char* home = std::getenv("HOME"))
            savedHome = home;
        setenv("HOME", "/home/tester", 1);
        platform::SetDialogs(&dialogs);
    }
    void TearDown() override
    {
        platform::SetDialogs(nullptr);
        if (savedHome)
            setenv("HOME", savedHome->c_str(), 1);
        else
            unsetenv("HOME");
        platform::SetProgramFolderForTests("");
    }

    // Every key OK writes, with the file's sections, in the order written.
    static std::vector<std::string> KeyOrder(const std::string& text)
    {
        std::vector<std::string> keys;
        for (const char* k : {"[IniParas]", "DefaultPath=", "[Proxy]", "UseProxy=", "ProxyServer=",
                              "ProxyPort=", "ProxyUsername=", "ProxyPassword="}) {
            const auto at = text.find(k);
            if (at != std::string::npos)
                keys.push_back(std::to_string(at) + " " + k);
        }
        return keys;
    }

    testing::TempFolder folder;
    std::string iniFile;
    std::optional<std::string> savedHome;
    platform::RecordingDialogs dialogs;
};

std::string Value(const std::string& file, const char* section, const char* key)
{
    return platform::TIniFile(file).ReadString(section, key, "<absent>");
}

TEST_F(OptionsTest, SettingsFileIsBesideTheProgramAndTheDefaultPathUnderHome)
{
    EXPECT_EQ(platform::SettingsFileName(), iniFile);
    EXPECT_EQ(platform::DefaultSavePathDefault(), "/home/tester/orvanta");
    setenv("HOME", "/", 1);
    EXPECT_EQ(platform::DefaultSavePathDefault(), "/orvanta");
}

TEST_F(OptionsTest, WithoutAFileShowsTheDefaultsAndEverythingEditable)
{
    TfrmOptions dlg;
    dlg.show();
    EXPECT_EQ(dlg.Edit12->text(), "/home/tester/orvanta");
    EXPECT_FALSE(dlg.CheckBoxUseProxy->isChecked());
    for (QLineEdit* e :
         {dlg.EditProxyServer, dlg.EditProxyPort, dlg.EditProxyUsername, dlg.EditProxyPassword}) {
        EXPECT_EQ(e->text(), "");
        EXPECT_TRUE(e->isEnabled());
        EXPECT_FALSE(e->isReadOnly());
    }
    EXPECT_FALSE(platform::FileExists(iniFile)); // showing never writes
    EXPECT_TRUE(dialogs.errors.empty());
}

// The password shows as dots until "Show" is ticked; each showing hides it
// again, and the value saved is what was typed either way.
TEST_F(OptionsTest, PasswordIsDotsUntilShown)
{
    testing::WriteBytes(iniFile, "[Proxy]\r\nProxyPassword=s3cret\r\n");
    TfrmOptions dlg;
    dlg.show();
    EXPECT_EQ(dlg.EditProxyPassword->text(), "s3cret");
    EXPECT_EQ(dlg.EditProxyPassword->echoMode(), QLineEdit::Password);
    EXPECT_NE(dlg.EditProxyPassword->displayText(), "s3cret");
    EXPECT_FALSE(dlg.CheckBoxShowPassword->isChecked());

    dlg.CheckBoxShowPassword->click();
    EXPECT_EQ(dlg.EditProxyPassword->echoMode(), QLineEdit::Normal);
    EXPECT_EQ(dlg.EditProxyPassword->displayText(), "s3cret");

    dlg.hide();
    dlg.show();
    EXPECT_FALSE(dlg.CheckBoxShowPassword->isChecked());
    EXPECT_EQ(dlg.EditProxyPassword->echoMode(), QLineEdit::Password);
    dlg.EditProxyPassword->setText("n3w");
    dlg.Button1Click();
    EXPECT_EQ(Value(iniFile, "Proxy", "ProxyPassword"), "n3w");
}

TEST_F(OptionsTest, OkCreatesTheFileWithBothSectionsAndTheSixKeysInOrder)
{
    TfrmOptions dlg;
    dlg.show();
    dlg.Edit12->setText("/data/maps");
    dlg.CheckBoxUseProxy->setChecked(false);
    dlg.EditProxyServer->setText("10.0.0.1");
    dlg.EditProxyPort->setText("eighty"); // stored as typed
    dlg.EditProxyUsername->setText("me");
    dlg.EditProxyPassword->setText("s3cret");
    dlg.Button1Click();

    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    const std::string text = testing::ReadBytes(iniFile);
    const auto order = KeyOrder(text);
    ASSERT_EQ(order.size(), 8u) << text;
    for (std::size_t i = 1; i < order.size(); ++i)
        EXPECT_LT(std::stoul(order[i - 1]), std::stoul(order[i])) << text;
    EXPECT_EQ(Value(iniFile, "IniParas", "DefaultPath"), "/data/maps");
    EXPECT_EQ(Value(iniFile, "Proxy", "UseProxy"), "0"); // unchecked still writes the fields
    EXPECT_EQ(Value(iniFile, "Proxy", "ProxyServer"), "10.0.0.1");
    EXPECT_EQ(Value(iniFile, "Proxy", "ProxyPort"), "eighty");
    EXPECT_EQ(Value(iniFile, "Proxy", "ProxyUsername"), "me");
    EXPECT_EQ(Value(iniFile, "Proxy", "ProxyPassword"), "s3cret");
}

TEST_F(OptionsTest, EmptyDefaultPathStaysEmptyAtTheNextShowing)
{
    TfrmOptions dlg;
    dlg.show();
    dlg.Edit12->clear();
    dlg.Button1Click();
    EXPECT_EQ(Value(iniFile, "IniParas", "DefaultPath"), "");

    dlg.show();
    EXPECT_EQ(dlg.Edit12->text(), ""); // present but empty: not the default
}

TEST_F(OptionsTest, UseProxyCountsOnlyWhenItReadsAsOne)
{
    struct Case {
        const char* stored;
        bool checked;
    };
    for (const Case c : {Case{"0x1", true}, Case{" 1 ", true}, Case{"2", false}, Case{"yes", false}}) {
        testing::WriteBytes(iniFile, std::string("[Proxy]\r\nUseProxy=") + c.stored + "\r\n");
        TfrmOptions dlg;
        dlg.show();
        EXPECT_EQ(dlg.CheckBoxUseProxy->isChecked(), c.checked) << c.stored;
        dlg.Button1Click();
        EXPECT_EQ(Value(iniFile, "Proxy", "UseProxy"), c.checked ? "1" : "0") << c.stored;
    }
}

TEST_F(OptionsTest, CancelAfterEditingLeavesTheFileAndTheNextShowingRereadsIt)
{
    const std::string original =
        "; mine\r\n[IniParas]\r\nDefaultPath=/old\r\nVersion=7.21\r\n[Proxy]\r\nUseProxy=1\r\n"
        "ProxyServer=proxy.lan\r\nProxyPort=3128\r\n";
    testing::WriteBytes(iniFile, original);
    TfrmOptions dlg;
    dlg.show();
    EXPECT_EQ(dlg.Edit12->text(), "/old");
    EXPECT_TRUE(dlg.CheckBoxUseProxy->isChecked());
    EXPECT_EQ(dlg.EditProxyPort->text(), "3128");

    dlg.Edit12->setText("/new");
    dlg.CheckBoxUseProxy->setChecked(false);
    dlg.Button2Click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(testing::ReadBytes(iniFile), original);

    dlg.show();
    EXPECT_EQ(dlg.Edit12->text(), "/old");
    EXPECT_TRUE(dlg.CheckBoxUseProxy->isChecked());
}

TEST_F(OptionsTest, EscapeDoesNotCancel)
{
    TfrmOptions dlg;
    dlg.show();
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&dlg, &esc);
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(OptionsTest, RefusedWriteShowsTheErrorAndTheDialogStaysOpen)
{
    std::filesystem::remove(folder.Path() + "ini");
    TfrmOptions dlg;
    dlg.show();
    dlg.Button1Click();
    EXPECT_EQ(dialogs.errors, std::vector<std::string>{"Unable to write to " + iniFile});
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_FALSE(platform::FileExists(iniFile));
}

// An installed copy (its ini/ folder read-only): the dialog names the
// user's own file, OK creates it in a private folder, and the next showing
// reads it back from there.
TEST_F(OptionsTest, AReadOnlyIniFolderUsesTheUsersFileAndSaysSo)
{
    testing::TempFolder home;
    setenv("HOME", home.Path().c_str(), 1);
    std::filesystem::permissions(folder.Path() + "ini", std::filesystem::perms(0555));
    const std::string userFile = home.Path() + ".config/kartivo/config.ini";

    TfrmOptions dlg;
    dlg.show();
    EXPECT_EQ(dlg.LabelSettingsFile->toolTip().toStdString(), userFile);
    EXPECT_TRUE(dlg.LabelSettingsFile->text().startsWith("Settings file: "));
    dlg.EditProxyServer->setText("proxy.lan");
    dlg.Button1Click();
    EXPECT_TRUE(dialogs.errors.empty());
    EXPECT_EQ(Value(userFile, "Proxy", "ProxyServer"), "proxy.lan");
    EXPECT_FALSE(platform::FileExists(iniFile));

    dlg.show();
    EXPECT_EQ(dlg.EditProxyServer->text(), "proxy.lan");
    std::filesystem::permissions(folder.Path() + "ini", std::filesystem::perms(0755));
}

TEST_F(OptionsTest, TheSettingsFileLineFitsAndNamesTheProgramsOwnFile)
{
    TfrmOptions dlg;
    dlg.show();
    EXPECT_EQ(dlg.LabelSettingsFile->toolTip().toStdString(), iniFile);
    // A long path is shortened to the line's width, never cut off unseen.
    const QString text = dlg.LabelSettingsFile->text();
    EXPECT_LE(dlg.LabelSettingsFile->fontMetrics().horizontalAdvance(text), dlg.LabelSettingsFile->width());
    EXPECT_LE(dlg.LabelSettingsFile->geometry().bottom(), dlg.Button1->geometry().top());
    EXPECT_GE(dlg.LabelSettingsFile->geometry().top(), dlg.GroupBox1->geometry().bottom());
}

TEST_F(OptionsTest, FolderBrowserFillsTheDefaultPathUnlessCancelled)
{
    TfrmOptions dlg;
    dlg.show();
    dialogs.browseAnswers = {std::string("/srv/tiles"), std::nullopt};
    dlg.Button3Click();
    EXPECT_EQ(dlg.Edit12->text(), "/srv/tiles");
    dlg.Button3Click();
    EXPECT_EQ(dlg.Edit12->text(), "/srv/tiles");
    EXPECT_EQ(dialogs.browseCaptions, (std::vector<std::string>{"Select path", "Select path"}));
}

} // namespace

} // namespace kartivo::ui
