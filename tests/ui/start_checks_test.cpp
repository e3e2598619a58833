// Start's checks as a pure function: the table of messages, which side of
// the save folder's creation each falls on, the request they let through,
// and the failures raised before any message. The save folder named here
// does not exist, and none of these checks makes it.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/Errors.h"
#include "ui/StartChecks.h"

namespace kartivo::ui {

namespace {

const std::string kFolder = "/nonexistent-kartivo-root/maps";

StartInput Input(const char* left, const char* right, const char* top, const char* bottom,
                 const char* zoom = "13", const std::string& folder = kFolder)
{
    StartInput in;
    in.LeftLongitude = left;
    in.RightLongitude = right;
    in.TopLatitude = top;
    in.BottomLatitude = bottom;
    in.Zoom = zoom;
    in.SavePath = folder;
    in.TaskName = "newtask.kvpd";
    return in;
}

struct CheckCase {
    const char* label;
    StartInput input;
    bool beforeFolder; // refused before the save folder would be made
    const char* message;
};

class StartCheckTable : public ::testing::TestWithParam<CheckCase> {};

TEST_P(StartCheckTable, GivesTheFirstMessageOnItsSideOfTheFolder)
{
    const CheckCase& c = GetParam();
    const StartCheck check = CheckStartInput(c.input);
    EXPECT_FALSE(check.Accepted());
    EXPECT_EQ(check.FirstMessage(), c.message);
    EXPECT_EQ(check.PathMessage, c.beforeFolder ? c.message : "");
    EXPECT_FALSE(std::filesystem::exists(kFolder));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, StartCheckTable,
    ::testing::Values(
        CheckCase{"EmptyPathHidesBadCoordinate", Input("x", "1", "1", "0", "13", ""), true,
                  "Please select a path to save the images."},
        CheckCase{"NotANumber", Input("12.5", "abc", "1", "0"), false, "Longitude or latitude input error!"},
        CheckCase{"EmptyField", Input("12.5", "13", "", "0"), false, "Longitude or latitude input error!"},
        CheckCase{"TwoCommas", Input("12,5,1", "13", "1", "0"), false, "Longitude or latitude input error!"},
        CheckCase{"UnreadableBeforeOutOfRange", Input("500", "13", "1", "south"), false,
                  "Longitude or latitude input error!"},
        CheckCase{"LeftJustAbove", Input("180.0001", "180", "1", "0"), false,
                  "Left Longitude should be between -180 and 180."},
        CheckCase{"RightBelow", Input("0", "-181", "1", "0"), false,
                  "Right Longitude should be between -180 and 180."},
        CheckCase{"TopNinety", Input("0", "1", "90", "0"), false,
                  "Top Latitude should be between -85 and 85."},
        CheckCase{"BottomBelow", Input("0", "1", "1", "-85.5"), false,
                  "Bottom Latitude should be between -85 and 85."},
        CheckCase{"LeftOfRight", Input("10", "9.99", "1", "0"), false,
                  "Left Longitude should less than Right Longitude!"},
        CheckCase{"TopBelowBottom", Input("0", "1", "10", "10.5"), false,
                  "Bottom Latitude should less than Top Latitude!"},
        CheckCase{"RangeBeforeOrder", Input("10", "9", "90", "0"), false,
                  "Top Latitude should be between -85 and 85."},
        CheckCase{"CoordinatesBeforeZoom", Input("10", "9", "1", "0", "25"), false,
                  "Left Longitude should less than Right Longitude!"},
        CheckCase{"ZoomZero", Input("10", "11", "1", "0", "0"), false,
                  "Zoom level should be between 1 and 20."},
        CheckCase{"ZoomTwentyOne", Input("10", "11", "1", "0", "21"), false,
                  "Zoom level should be between 1 and 20."}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.label); });

TEST(StartChecks, AcceptedInputBecomesTheRequest)
{
    StartInput in = Input("-0,5", "2.25", "+48.9", " 48.8 ", "20");
    in.MapsTypeIndex = 3; // bird's eye view
    in.TaskName = "paris";

    const StartCheck check = CheckStartInput(in);

    ASSERT_TRUE(check.Accepted()) << check.FirstMessage();
    EXPECT_EQ(check.FirstMessage(), "");
    const StartRequest& r = check.Request;
    EXPECT_EQ(r.LeftLongitude, -0.5);
    EXPECT_EQ(r.RightLongitude, 2.25);
    EXPECT_EQ(r.TopLatitude, 48.9);
    EXPECT_EQ(r.BottomLatitude, 48.8);
    EXPECT_EQ(r.Zoom, 20);
    EXPECT_EQ(r.MapsType, 21);
    EXPECT_EQ(r.SaveFolder, kFolder);
    EXPECT_EQ(r.SavePath, kFolder + "/");
    EXPECT_EQ(r.TaskName, "paris.kvpd");
    EXPECT_FALSE(std::filesystem::exists(kFolder));
}

TEST(StartChecks, BoundsAreInclusiveAndTheNameKeepsItsExtension)
{
    StartInput in = Input("-180", "180", "85", "-85", "1", kFolder + "/");
    in.MapsTypeIndex = 0;
    in.TaskName = "area.kvpd";
    const StartCheck inclusive = CheckStartInput(in);
    ASSERT_TRUE(inclusive.Accepted()) << inclusive.FirstMessage();
    EXPECT_EQ(inclusive.Request.MapsType, 5);
    EXPECT_EQ(inclusive.Request.SavePath, kFolder + "/");
    EXPECT_EQ(inclusive.Request.TaskName, "area.kvpd");

    // Another extension is kept and ".kvpd" added after it.
    in.TaskName = "area.txt";
    EXPECT_EQ(CheckStartInput(in).Request.TaskName, "area.txt.kvpd");
}

// Task names that would put the task's files anywhere but beside each other
// in the save folder, or that no file system takes, are refused before the
// save folder is made, each with a message that says what is wrong.
struct NameCase {
    const char* label;
    std::string typed;
    std::string message;
};

class TaskNameRefusal : public ::testing::TestWithParam<NameCase> {};

TEST_P(TaskNameRefusal, IsRefusedBeforeTheFolder)
{
    const NameCase& c = GetParam();
    StartInput in = Input("12.5", "12.6", "45.55", "45.5");
    in.TaskName = c.typed;
    const StartCheck check = CheckStartInput(in);
    EXPECT_EQ(check.PathMessage, c.message);
    EXPECT_EQ(check.FirstMessage(), c.message);
    EXPECT_FALSE(check.Accepted());
}

const std::string kLongBase(245, 'a'); // + "_failed.ftl" = 256 bytes

INSTANTIATE_TEST_SUITE_P(
    Names, TaskNameRefusal,
    ::testing::Values(
        NameCase{"Empty", "", StartMessages::kEmptyTaskName},
        NameCase{"OnlyExtension", ".kvpd", StartMessages::kEmptyTaskName},
        NameCase{"ParentPath", "../x", StartMessages::TaskNameHasSeparator("../x.kvpd")},
        NameCase{"AbsolutePath", "/tmp/x.kvpd", StartMessages::TaskNameHasSeparator("/tmp/x.kvpd")},
        NameCase{"Subfolder", "a/b.kvpd", StartMessages::TaskNameHasSeparator("a/b.kvpd")},
        NameCase{"Backslash", "a\\b", StartMessages::TaskNameHasSeparator("a\\b.kvpd")},
        NameCase{"Dot", ".", StartMessages::TaskNameIsDots("..kvpd")},
        NameCase{"DotDot", "..", StartMessages::TaskNameIsDots("...kvpd")},
        NameCase{"DotDotWithExtension", "...kvpd", StartMessages::TaskNameIsDots("...kvpd")},
        NameCase{"Tab", "a\tb", StartMessages::kTaskNameControlChar},
        NameCase{"LineFeed", "a\nb.kvpd", StartMessages::kTaskNameControlChar},
        NameCase{"Delete", "a\x7f", StartMessages::kTaskNameControlChar},
        NameCase{"TooLongForTheFailedList", kLongBase, StartMessages::TaskNameTooLong(256, 255)}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.label); });

TEST(StartChecks, TaskNamesThatAreFine)
{
    for (const std::string& typed : std::initializer_list<std::string>{
             "tiny", "a.b.kvpd", ".hidden", "carte d'été", "x..y", std::string(244, 'a')}) {
        SCOPED_TRACE(typed);
        EXPECT_EQ(CheckTaskName(CompleteTaskName(typed)), "");
    }
    EXPECT_EQ(CompleteTaskName("tiny"), "tiny.kvpd");
    EXPECT_EQ(CompleteTaskName("tiny.kvpd"), "tiny.kvpd");
    EXPECT_EQ(CompleteTaskName("tiny.KVPD"), "tiny.KVPD.kvpd");
    // The messages say what is wrong.
    EXPECT_EQ(
        StartMessages::TaskNameHasSeparator("../x.kvpd"),
        "The task name \"../x.kvpd\" contains a path separator (\"/\" or \"\\\"). A task name names files "
        "in the save folder; please choose the folder with \"Path to save\".");
    EXPECT_EQ(StartMessages::TaskNameTooLong(256, 255),
              "The task name is too long: the longest of the task's file names would have 256 bytes, and the "
              "file system allows 255. Please choose a shorter name.");
}

// The path's refusal comes before the name's.
TEST(StartChecks, EmptyPathBeforeBadName)
{
    StartInput in = Input("12.5", "12.6", "45.55", "45.5", "13", "");
    in.TaskName = "..";
    EXPECT_EQ(CheckStartInput(in).PathMessage, StartMessages::kNoPath);
}

// A zoom that is no integer, or no map type selected, fails before any
// message, the empty save path's included.
TEST(StartChecks, ZoomAndMapTypeFailBeforeAnyMessage)
{
    const StartInput noZoom = Input("x", "1", "1", "0", "thirteen", "");
    try {
        CheckStartInput(noZoom);
        ADD_FAILURE() << "no exception";
    } catch (const platform::Exception& e) {
        EXPECT_STREQ(e.what(), "'thirteen' is not a valid integer value");
    }

    StartInput noType = Input("x", "1", "1", "0", "13", "");
    noType.MapsTypeIndex = -1;
    EXPECT_THROW(CheckStartInput(noType), std::out_of_range);
}

} // namespace

} // namespace kartivo::ui
