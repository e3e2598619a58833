// The degrees-minutes-seconds converter: the exact result texts (one sign
// for the whole angle, double precision), the integer rules for degrees and
// minutes, the C-library reading of the seconds, and the window's reaction
// to bad input.
#include "platform/Dialogs.h"
#include "platform/Formats.h"
#include "ui/DmsConversion.h"
#include "ui/qt/Convert.h"

#include <QLineEdit>
#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kartivo::ui {

namespace {

// Runs every test under a '.' separator unless it chooses another.
class ConvertTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetDecimalSeparatorForTests('.'); }
    void TearDown() override { platform::SetDecimalSeparatorForTests(std::nullopt); }
};

std::optional<std::string> Convert(const char* d, const char* m, const char* s)
{
    const std::optional<double> value = dms::DmsToDegrees(d, m, s);
    if (!value)
        return std::nullopt;
    return dms::FormatDegrees(*value);
}

struct Example {
    const char* label;
    const char* degrees;
    const char* minutes;
    const char* seconds;
    const char* text;
};

class ConvertExamples : public ConvertTest, public ::testing::WithParamInterface<Example> {};

TEST_P(ConvertExamples, GivesTheExactText)
{
    const Example& e = GetParam();
    EXPECT_EQ(Convert(e.degrees, e.minutes, e.seconds), std::optional<std::string>(e.text));
}

INSTANTIATE_TEST_SUITE_P(
    Dms, ConvertExamples,
    ::testing::Values(Example{"half", "39", "30", "0", "39.5"}, Example{"whole", "120", "0", "0", "120"},
                      Example{"double_precision", "39", "55", "0", "39.9166666666667"},
                      Example{"double_precision_paris", "48", "51", "24", "48.8566666666667"},
                      Example{"fractional_seconds", "116", "23", "29.5", "116.391527777778"},
                      // One sign for the whole angle: that of the first field not zero.
                      Example{"south_sign_on_degrees", "-33", "30", "0", "-33.5"},
                      Example{"south_sign_on_every_field", "-33", "-30", "0", "-33.5"},
                      Example{"south_sign_on_minutes", "0", "-30", "0", "-0.5"},
                      Example{"south_sign_on_seconds", "0", "0", "-36", "-0.01"},
                      Example{"west_with_seconds", "-116", "23", "29.5", "-116.391527777778"},
                      Example{"later_sign_ignored", "33", "-30", "0", "33.5"},
                      Example{"negative_zero_degrees", "-0", "30", "0", "0.5"},
                      Example{"small_value_in_exponent_form", "0", "0", "0.01", "2.77777777777778E-6"},
                      Example{"minutes_beyond_60", "0", "90", "0", "1.5"},
                      Example{"empty_seconds_are_zero", "39", "30", "", "39.5"},
                      Example{"leading_blank_degrees", "  39", " 30", "0", "39.5"},
                      Example{"hex_dollar", "$27", "0", "0", "39"},
                      Example{"hex_0X", "0X27", "$1e", "0", "39.5"},
                      Example{"signed_hex", "-$21", "+30", "0", "-33.5"},
                      Example{"seconds_exponent", "0", "0", "3.6e3", "1"},
                      Example{"seconds_leading_white_space", "0", "0", " \t3600", "1"}),
    [](const ::testing::TestParamInfo<Example>& info) { return std::string(info.param.label); });

// The seconds stop at the first character that does not fit a number, and
// text that does not start with one reads as 0: compare with the clean text.
struct SecondsReading {
    const char* label;
    const char* typed;
    const char* same_as;
};

class SecondsReadingTest : public ConvertTest, public ::testing::WithParamInterface<SecondsReading> {};

TEST_P(SecondsReadingTest, ReadsLikeTheCleanNumber)
{
    const SecondsReading& r = GetParam();
    ASSERT_TRUE(Convert("39", "30", r.same_as));
    EXPECT_EQ(Convert("39", "30", r.typed), Convert("39", "30", r.same_as));
}

INSTANTIATE_TEST_SUITE_P(
    Dms, SecondsReadingTest,
    ::testing::Values(
        SecondsReading{"exponent", "1e1", "10"}, SecondsReading{"comma_ends_the_number", "12,5", "12"},
        SecondsReading{"letters_are_zero", "abc", "0"}, SecondsReading{"bare_exponent_letter", "1e", "1"},
        SecondsReading{"leading_point", ".5", "0.5"}, SecondsReading{"plus_sign", "+.5e+1", "5"},
        SecondsReading{"infinity_is_not_a_number", "inf", "0"}, SecondsReading{"no_hex_floats", "0x10", "0"},
        SecondsReading{"underflow_is_zero", "1e-400", "0"}, SecondsReading{"trailing_blank", "12 ", "12"}),
    [](const ::testing::TestParamInfo<SecondsReading>& info) { return std::string(info.param.label); });

TEST_F(ConvertTest, SecondsBeyondADoubleAreAnInputError)
{
    EXPECT_TRUE(Convert("0", "0", "3.5e38"));
    EXPECT_TRUE(Convert("0", "0", "-1.7e308"));
    EXPECT_FALSE(Convert("0", "0", "1e400"));
    EXPECT_FALSE(Convert("0", "0", "-1e309"));
}

TEST_F(ConvertTest, CommaLocaleShowsACommaButSecondsStillTakeAPoint)
{
    platform::SetDecimalSeparatorForTests(',');
    EXPECT_EQ(Convert("39", "30", "0"), std::optional<std::string>("39,5"));
    EXPECT_EQ(Convert("0", "0", "0.01"), std::optional<std::string>("2,77777777777778E-6"));
    EXPECT_EQ(Convert("39", "0", "1800.0"), std::optional<std::string>("39,5"));
    EXPECT_EQ(Convert("39", "0", "1800,9"), Convert("39", "0", "1800"));
}

struct WholeNumber {
    const char* text;
    std::optional<int> value;
};

class WholeNumberTest : public ::testing::TestWithParam<WholeNumber> {};

TEST_P(WholeNumberTest, FollowsTheIntegerRules)
{
    EXPECT_EQ(dms::ParseWholeNumber(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Dms, WholeNumberTest,
    ::testing::Values(WholeNumber{"  -7", -7}, WholeNumber{"$fF", 255}, WholeNumber{"0x10", 16},
                      WholeNumber{"X10", 16}, WholeNumber{"2147483647", 2147483647},
                      WholeNumber{"-2147483648", -2147483647 - 1}, WholeNumber{"-$80000000", -2147483647 - 1},
                      WholeNumber{"", std::nullopt}, WholeNumber{"39 ", std::nullopt},
                      WholeNumber{"39.", std::nullopt}, WholeNumber{"\t39", std::nullopt},
                      WholeNumber{"- 5", std::nullopt}, WholeNumber{"+", std::nullopt},
                      WholeNumber{"0x", std::nullopt}, WholeNumber{"1e3", std::nullopt},
                      WholeNumber{"2147483648", std::nullopt}, WholeNumber{"$80000000", std::nullopt},
                      WholeNumber{"99999999999999999999", std::nullopt}));

class ConvertWindowTest : public ConvertTest {
protected:
    void SetUp() override
    {
        ConvertTest::SetUp();
        platform::SetDialogs(&dialogs);
    }
    void TearDown() override
    {
        platform::SetDialogs(nullptr);
        ConvertTest::TearDown();
    }
    platform::RecordingDialogs dialogs;
};

TEST_F(ConvertWindowTest, ShowsTheResultOrInputErrorAndKeepsTheLastResult)
{
    TfrmConvert w;
    w.Edit1->setText("39");
    w.Edit2->setText("30");
    w.Button1Click();
    EXPECT_EQ(w.Edit4->text(), "39.5");
    EXPECT_TRUE(dialogs.messages.empty());

    w.Edit1->setText("39.5");
    w.Button1Click();
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{"Input Error."});
    EXPECT_EQ(w.Edit4->text(), "39.5");

    w.Edit1->setText("39");
    w.Edit2->clear();
    w.Button1Click();
    EXPECT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(w.Edit4->text(), "39.5");
}

TEST_F(ConvertWindowTest, IsATopmostNonBlockingToolWindow)
{
    TfrmConvert w;
    EXPECT_EQ(w.windowTitle(), "Convert \"Degrees,Minutes,Seconds\" to \"Degrees\"");
    EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(w.Edit4->isReadOnly());
    w.show();
    EXPECT_FALSE(w.isModal());
    w.Edit1->setText("1");
    w.hide();
    w.show();
    EXPECT_EQ(w.Edit1->text(), "1"); // keeps its contents between showings
}

} // namespace

} // namespace kartivo::ui
