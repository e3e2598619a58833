#include "ui/DmsConversion.h"

#include "platform/Formats.h"

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <locale.h>

namespace kartivo::ui {

static_assert(std::numeric_limits<long double>::digits == 64,
              "the converter sums in 80-bit extended precision");

namespace dms {

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The "C" locale, created once: the seconds never follow the user's locale,
// whatever QApplication has set for the process.
locale_t CLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

} // namespace

std::optional<int> ParseWholeNumber(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == text.size())
        return std::nullopt;   // no digits at all

    // The magnitude may reach 2^31 for a negative number.
    const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1;
    std::uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const int digit = base == 16 ? HexDigit(text[i]) : (IsDigit(text[i]) ? text[i] - '0' : -1);
        if (digit < 0)
            return std::nullopt;
        magnitude = magnitude * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (magnitude > limit)
            return std::nullopt;
    }
    const std::int64_t value = negative ? -static_cast<std::int64_t>(magnitude)
                                        : static_cast<std::int64_t>(magnitude);
    return static_cast<int>(value);
}

std::optional<float> ReadSeconds(std::string_view text)
{
    // Find the longest prefix that is a number of the form the C library
    // reads. Only that form is taken: no "inf", "nan" or hexadecimal floats.
    std::size_t i = 0;
    while (i < text.size() && IsCSpace(text[i]))
        ++i;
    const std::size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < text.size() && IsDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < text.size() && text[i] == '.') {
        std::size_t j = i + 1;
        std::size_t fraction = 0;
        while (j < text.size() && IsDigit(text[j])) {
            ++j;
            ++fraction;
        }
        if (digits + fraction > 0) {
            digits += fraction;
            i = j;
        }
    }
    if (digits == 0)
        return 0.0f;   // no number at the start: reads as 0
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-'))
            ++j;
        if (j < text.size() && IsDigit(text[j])) {
            while (j < text.size() && IsDigit(text[j]))
                ++j;
            i = j;
        }
    }

    const std::string number(text.substr(start, i - start));
    const double value = strtod_l(number.c_str(), nullptr, CLocale());
    // Read as a double, then rounded to single precision, as the field is held.
    const float seconds = static_cast<float>(value);
    if (!std::isfinite(value) || !std::isfinite(seconds))
        return std::nullopt;
    return seconds;
}

std::optional<float> DmsToDegrees(std::string_view degrees, std::string_view minutes,
                                  std::string_view seconds)
{
    const std::optional<int> d = ParseWholeNumber(degrees);
    const std::optional<int> m = ParseWholeNumber(minutes);
    const std::optional<float> s = ReadSeconds(seconds);
    if (!d || !m || !s)
        return std::nullopt;
    // Each term keeps its own sign: -33 degrees and 30 minutes make -32.5.
    const long double sum = static_cast<long double>(*d) +
                            static_cast<long double>(*m) * (1.0L / 60.0L) +
                            (1.0L / 3600.0L) * static_cast<long double>(*s);
    // The sum of a 32-bit integer, a 32-bit integer / 60 and a finite float
    // / 3600 always fits single precision.
    return static_cast<float>(sum);
}

std::string FormatDegrees(float value)
{
    return platform::FormatGeneral(static_cast<double>(value), 15, 0.0001);
}

} // namespace dms

} // namespace kartivo::ui
