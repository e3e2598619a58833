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
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

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
        return std::nullopt; // no digits at all

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
    const std::int64_t value =
        negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return static_cast<int>(value);
}

std::optional<double> ReadSeconds(std::string_view text)
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
        return 0.0; // no number at the start: reads as 0
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
    if (!std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<double> DmsToDegrees(std::string_view degrees, std::string_view minutes,
                                   std::string_view seconds)
{
    const std::optional<int> d = ParseWholeNumber(degrees);
    const std::optional<int> m = ParseWholeNumber(minutes);
    const std::optional<double> s = ReadSeconds(seconds);
    if (!d || !m || !s)
        return std::nullopt;
    // An angle written as degrees, minutes and seconds has one sign, written
    // on its first field that is not zero. Adding the fields with their own
    // signs would turn -33 30 into -32.5, a point 111 km from -33.5.
    const long double fields[] = {static_cast<long double>(*d), static_cast<long double>(*m),
                                  static_cast<long double>(*s)};
    long double sign = 1.0L;
    for (const long double f : fields)
        if (f != 0) {
            sign = f < 0 ? -1.0L : 1.0L;
            break;
        }
    const long double magnitude =
        std::fabs(fields[0]) + std::fabs(fields[1]) / 60.0L + std::fabs(fields[2]) / 3600.0L;
    // A finite double / 3600 plus two 32-bit integers' worth always fits a
    // double.
    return static_cast<double>(sign * magnitude);
}

std::string FormatDegrees(double value) { return platform::FormatGeneral(value, 15, 0.0001); }

} // namespace dms

} // namespace kartivo::ui
