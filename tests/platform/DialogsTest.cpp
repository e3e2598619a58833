#include "platform/Dialogs.h"

#include <gtest/gtest.h>

namespace kartivo::platform {

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

} // namespace

} // namespace kartivo::platform
