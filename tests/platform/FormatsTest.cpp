#include "platform/Formats.h"

#include <gtest/gtest.h>

#include <cstdint>

#include <cstdlib>
#include <locale.h>
#include <optional>
#include <regex>

namespace kartivo::platform {

namespace {

struct FormatCase {
    double value;
    const char* text;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class FormatFTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatFTest, IsPrintfTwentyPointFourteen) { EXPECT_EQ(FormatF(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Table, FormatFTest,
                         ::testing::Values(FormatCase{2.3291015625, "    2.32910156250000"},
                                           FormatCase{0, "    0.00000000000000"},
                                           FormatCase{-180, " -180.00000000000000"},
                                           FormatCase{180, "  180.00000000000000"},
                                           FormatCase{0.1, "    0.10000000000000"},
                                           FormatCase{48.835797462431, "   48.83579746243100"},
                                           FormatCase{-85.05112877980659, "  -85.05112877980659"},
                                           // an exact binary tie rounds to even, as printf does
                                           FormatCase{0.000000000000005, "    0.00000000000000"},
                                           FormatCase{123456789.125, "123456789.12500000000000"}));

class FormatGTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatGTest, FifteenDigitsFixedFromOneHundredThousandth)
{
    SetDecimalSeparatorForTests('.');
    EXPECT_EQ(FormatG(GetParam().value), GetParam().text);
    SetDecimalSeparatorForTests(std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FormatGTest,
    ::testing::Values(
        FormatCase{-122.5, "-122.5"}, FormatCase{48.8566, "48.8566"}, FormatCase{0, "0"},
        FormatCase{-0.0, "0"}, FormatCase{180, "180"}, FormatCase{2.3291015625, "2.3291015625"},
        FormatCase{85.05112877980659, "85.0511287798066"},
        FormatCase{-85.05112877980659, "-85.0511287798066"}, FormatCase{1.0 / 3, "0.333333333333333"},
        FormatCase{2.0 / 3, "0.666666666666667"}, FormatCase{0.00001, "0.00001"},
        FormatCase{0.0000123, "0.0000123"}, FormatCase{0.000001, "1E-6"}, FormatCase{-0.0000015, "-1.5E-6"},
        FormatCase{0.0000099999999999999999, "0.00001"}, FormatCase{123456789012345, "123456789012345"},
        FormatCase{1e15, "1E15"}, FormatCase{1.25e20, "1.25E20"}, FormatCase{1e-300, "1E-300"},
        // exact binary ties go away from zero, as a person rounds
        FormatCase{-35.76324462890625, "-35.7632446289063"},
        FormatCase{35.76324462890625, "35.7632446289063"},
        FormatCase{0.1000000000000005, "0.100000000000001"}, FormatCase{999999999999999.5, "1E15"},
        FormatCase{-1.000000000000025, "-1.00000000000003"}));

TEST(FormatGeneral, ConverterResults)
{
    SetDecimalSeparatorForTests('.');
    // The converter works on single-precision values.
    EXPECT_EQ(FormatGeneral(static_cast<float>(1.0 / 360000), 15, 0.0001), "2.77777780866018E-6");
    EXPECT_EQ(FormatGeneral(static_cast<float>(39.916668), 15, 0.0001), "39.9166679382324");
    EXPECT_EQ(FormatGeneral(120, 15, 0.0001), "120");
    EXPECT_EQ(FormatGeneral(0.125, 2, 0.0001), "0.13"); // a tie goes away from zero
    EXPECT_EQ(FormatGeneral(-0.125, 2, 0.0001), "-0.13");
    EXPECT_EQ(FormatGeneral(0.0001, 15, 0.0001), "0.0001");
    EXPECT_EQ(FormatGeneral(0.00005, 15, 0.0001), "5E-5");
    SetDecimalSeparatorForTests(std::nullopt);
}

TEST(FormatG, UsesTheChosenSeparatorButFDoesNot)
{
    SetDecimalSeparatorForTests(',');
    EXPECT_EQ(DecimalSeparator(), ',');
    EXPECT_EQ(FormatG(-122.5), "-122,5");
    EXPECT_EQ(FormatG(0.0000015), "1,5E-6");
    EXPECT_EQ(FormatG(180), "180");
    EXPECT_EQ(FormatF(2.3291015625), "    2.32910156250000");
    SetDecimalSeparatorForTests(std::nullopt);
}

// Runs a body with LC_ALL set in the environment, restoring it afterwards.
class EnvLocaleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("LC_ALL");
        if (old)
            saved_ = old;
    }
    void TearDown() override
    {
        if (saved_)
            ::setenv("LC_ALL", saved_->c_str(), 1);
        else
            ::unsetenv("LC_ALL");
    }
    static bool Available(const char* name)
    {
        locale_t l = ::newlocale(LC_ALL_MASK, name, static_cast<locale_t>(0));
        if (!l)
            return false;
        ::freelocale(l);
        return true;
    }
    std::optional<std::string> saved_;
};

TEST_F(EnvLocaleTest, GermanLocaleGivesComma)
{
    if (!Available("de_DE.UTF-8"))
        GTEST_SKIP() << "de_DE.UTF-8 not installed (package locales-all)";
    ::setenv("LC_ALL", "de_DE.UTF-8", 1);
    EXPECT_EQ(DecimalSeparator(), ',');
    EXPECT_EQ(FormatG(48.8566), "48,8566");
    EXPECT_EQ(FormatF(48.8566), "   48.85660000000000");
    EXPECT_TRUE(std::regex_match(FormatDateTimeNow(), std::regex(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)")))
        << FormatDateTimeNow();
}

TEST_F(EnvLocaleTest, ClassicLocaleGivesPeriod)
{
    ::setenv("LC_ALL", "C", 1);
    EXPECT_EQ(DecimalSeparator(), '.');
    EXPECT_EQ(FormatG(-122.5), "-122.5");
    EXPECT_TRUE(std::regex_match(FormatDateTimeNow(), std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)")))
        << FormatDateTimeNow();
}

TEST_F(EnvLocaleTest, ProcessLocaleDoesNotLeakIntoFormats)
{
    if (!Available("de_DE.UTF-8"))
        GTEST_SKIP() << "de_DE.UTF-8 not installed (package locales-all)";
    ::setenv("LC_ALL", "C", 1);
    const char* before = ::setlocale(LC_NUMERIC, nullptr);
    std::string saved = before ? before : "C";
    ASSERT_NE(::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    EXPECT_EQ(FormatF(0.5), "    0.50000000000000");
    EXPECT_EQ(FormatG(0.5), "0.5"); // follows the environment, which says C
    ::setlocale(LC_NUMERIC, saved.c_str());
}

// One grouping for the counts of all three programs, down to the extremes
// of the 64-bit range (the smallest has no positive counterpart).
TEST(GroupThousands, GroupsEveryThreeDigitsFromTheRight)
{
    EXPECT_EQ(GroupThousands(0), "0");
    EXPECT_EQ(GroupThousands(999), "999");
    EXPECT_EQ(GroupThousands(1000), "1,000");
    EXPECT_EQ(GroupThousands(66895872), "66,895,872");
    EXPECT_EQ(GroupThousands(-1234567), "-1,234,567");
    EXPECT_EQ(GroupThousands(INT64_MAX), "9,223,372,036,854,775,807");
    EXPECT_EQ(GroupThousands(INT64_MIN), "-9,223,372,036,854,775,808");
}

// Times taken to the second; estimates to the nearest unit shown, in days
// from two days on. The combiner, the progress line and the task size all
// write them this way.
TEST(TimeTexts, DurationsAndEstimates)
{
    EXPECT_EQ(DurationText(-3), "0 s");
    EXPECT_EQ(DurationText(0.4), "0 s");
    EXPECT_EQ(DurationText(59.6), "1 min 0 s");
    EXPECT_EQ(DurationText(52 * 60 + 10), "52 min 10 s");
    EXPECT_EQ(DurationText(3600 + 5), "1 h 0 min 5 s");
    EXPECT_EQ(AboutText(45), "about 45 s");
    EXPECT_EQ(AboutText(39 * 60 + 10), "about 39 min");
    EXPECT_EQ(AboutText(47 * 3600 + 59 * 60), "about 47 h 59 min");
    EXPECT_EQ(AboutText(66895872.0 / 16), "about 48 days");
    EXPECT_EQ(TimeLeftText(-1), "about 0 s left");
    EXPECT_EQ(TimeLeftText(42.4), "about 42 s left");
    EXPECT_EQ(TimeLeftText(89), "about 1 min left");
    EXPECT_EQ(TimeLeftText(90), "about 2 min left");
    EXPECT_EQ(TimeLeftText(3600 + 25 * 60), "about 1 h 25 min left");
    EXPECT_EQ(TimeLeftText(3 * 86400), "about 3 days left");
}

} // namespace

} // namespace kartivo::platform
