// Opening documents and links with the desktop's opener: when the opener
// finds nothing to open them with (no browser, no mail program), or cannot
// be started, the user is told in a message box instead of a line on
// standard error. The About window's links say so too.
#include "tests/ui/MainWindowFixture.h"

#include <QLabel>
#include <QMouseEvent>
#include <sys/stat.h>

#include "platform/qt/QtDialogs.h"
#include "ui/qt/Unit2.h"

namespace kartivo::ui {

namespace {

class ShellOpenTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetDialogs(&recorder); }
    void TearDown() override { platform::SetDialogs(nullptr); }

    // A stand-in for xdg-open that records its argument and ends with `status`.
    std::string Opener(int status)
    {
        const std::string path = folder.Path() + "opener" + std::to_string(status);
        testing::WriteBytes(path, "#!/bin/sh\necho \"$1\" >> '" + folder.Path() + "opened'\nexit " +
                                      std::to_string(status) + "\n");
        ::chmod(path.c_str(), 0755);
        return path;
    }

    testing::TempFolder folder;
    platform::RecordingDialogs recorder; // receives the opener's failure
};

TEST_F(ShellOpenTest, OpenerThatFindsNothingIsToldInABox)
{
    platform::qt::QtDialogs qt;
    qt.SetOpener(Opener(3)); // xdg-open's "no method available"
    ASSERT_TRUE(qt.ShellOpen("/opt/kartivo/help/index.html"));
    ASSERT_TRUE(testing::PumpUntil([&] { return qt.OpenersRunning() == 0; }));
    EXPECT_EQ(recorder.messages,
              std::vector<std::string>{"Nothing could open:\n/opt/kartivo/help/index.html"});
    EXPECT_EQ(testing::ReadBytes(folder.Path() + "opened"), "/opt/kartivo/help/index.html\n");
}

TEST_F(ShellOpenTest, OpenerThatSucceedsSaysNothing)
{
    platform::qt::QtDialogs qt;
    qt.SetOpener(Opener(0));
    ASSERT_TRUE(qt.ShellOpen("https://kartivo.example.org/"));
    ASSERT_TRUE(testing::PumpUntil([&] { return qt.OpenersRunning() == 0; }));
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_EQ(testing::ReadBytes(folder.Path() + "opened"), "https://kartivo.example.org/\n");
}

// The About window's homepage and mail links, when nothing opens them.
TEST_F(ShellOpenTest, AboutLinksThatCannotBeOpenedAreTold)
{
    recorder.shellOpenSucceeds = false;
    TfrmAbout about;
    about.Label4Click();
    about.Label7Click();
    EXPECT_EQ(recorder.messages, (std::vector<std::string>{platform::CannotOpenMessage(kHomepageLink),
                                                           platform::CannotOpenMessage(kMailLink)}));
}

} // namespace

} // namespace kartivo::ui
