#include "platform/Dialogs.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

TEST(Dialogs, RecorderAnswersInOrderThenCancels) {
    RecordingDialogs rec;
    rec.browseAnswers = {std::string("/data/maps"), std::nullopt};
    rec.openAnswers = {std::string("/data/a.kvpd")};
    EXPECT_EQ(rec.BrowseFolder("Select path to save"), "/data/maps");
    EXPECT_EQ(rec.BrowseFolder("Select path to save"), std::nullopt);
    EXPECT_EQ(rec.BrowseFolder("again"), std::nullopt);
    EXPECT_EQ(rec.OpenFile({"Open", "Projects(*.kvpd)", "*.kvpd", ""}), "/data/a.kvpd");
    EXPECT_EQ(rec.OpenFile({}), std::nullopt);
    EXPECT_EQ(rec.browseCaptions.size(), 3u);
    ASSERT_EQ(rec.openRequests.size(), 2u);
    EXPECT_EQ(rec.openRequests[0].filterPattern, "*.kvpd");
}

TEST(Dialogs, InstalledImplementationReceivesCalls) {
    RecordingDialogs rec;
    SetDialogs(&rec);
    Dialogs().ShowMessage("Task stoped!");
    Dialogs().ShowError("Cannot open file /x");
    Dialogs().ShellOpen("/x/help/help.chm");
    Dialogs().StartProgram("/x/plateview");
    SetDialogs(nullptr);
    Dialogs().ShowMessage("to the default recorder");
    EXPECT_EQ(rec.messages, std::vector<std::string>{"Task stoped!"});
    EXPECT_EQ(rec.errors, std::vector<std::string>{"Cannot open file /x"});
    EXPECT_EQ(rec.shellOpened, std::vector<std::string>{"/x/help/help.chm"});
    EXPECT_EQ(rec.programsStarted, std::vector<std::string>{"/x/plateview"});
    EXPECT_NE(&Dialogs(), static_cast<IDialogs*>(&rec));
}

} // namespace
