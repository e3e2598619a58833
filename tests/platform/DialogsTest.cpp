#include "platform/Dialogs.h"

#include <gtest/gtest.h>

namespace kartivo::platform {

namespace {

TEST(Dialogs, RecorderAnswersInOrderThenCancels)
{
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

// The three programs open projects through one dialog: same filter, their
// own caption and folder.
TEST(Dialogs, ChooseProjectAsksForAKartivoProject)
{
    RecordingDialogs rec;
    SetDialogs(&rec);
    rec.openAnswers = {std::string("/data/a.kvpd")};
    EXPECT_EQ(ChooseProject("Open project", "/data"), "/data/a.kvpd");
    EXPECT_EQ(ChooseProject("Open project", ""), std::nullopt);
    SetDialogs(nullptr);
    ASSERT_EQ(rec.openRequests.size(), 2u);
    EXPECT_EQ(rec.openRequests[0].title, "Open project");
    EXPECT_EQ(rec.openRequests[0].filterDescription, "Projects(*.kvpd)");
    EXPECT_EQ(rec.openRequests[0].filterPattern, "*.kvpd");
    EXPECT_EQ(rec.openRequests[0].initialDir, "/data");
}

// A name typed without the extension gets it; one that has it, in any case,
// is kept; cancel and an empty answer choose nothing.
TEST(Dialogs, ChooseSaveFileCompletesTheExtension)
{
    RecordingDialogs rec;
    SetDialogs(&rec);
    rec.saveAnswers = {std::string("/out/map"), std::string("/out/MAP.PNG"), std::string("/out/a.png.txt"),
                       std::nullopt, std::string()};
    SaveFileRequest request{"Export view", "PNG images", "*.png", "/out", ".png"};
    EXPECT_EQ(ChooseSaveFile(request), "/out/map.png");
    EXPECT_EQ(ChooseSaveFile(request), "/out/MAP.PNG");
    EXPECT_EQ(ChooseSaveFile(request), "/out/a.png.txt.png");
    EXPECT_EQ(ChooseSaveFile(request), std::nullopt);
    EXPECT_EQ(ChooseSaveFile(request), std::nullopt);
    SetDialogs(nullptr);
    ASSERT_EQ(rec.saveRequests.size(), 5u);
    EXPECT_EQ(rec.saveRequests[0].title, "Export view");
    EXPECT_EQ(rec.saveRequests[0].initialPath, "/out");
}

} // namespace

} // namespace kartivo::platform
