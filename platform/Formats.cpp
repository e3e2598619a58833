#include "platform/Formats.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <langinfo.h>
#include <locale.h>
#include <string_view>
#include <system_error>

namespace kartivo::platform {

std::string GroupThousands(std::int64_t n)
{
    // The magnitude in unsigned arithmetic: -INT64_MIN does not fit an int64.
    const std::uint64_t magnitude = n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    const std::string digits = std::to_string(magnitude);
    std::string out = n < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

std::string DurationText(double seconds)
{
    const std::int64_t s = std::max<std::int64_t>(0, std::llround(seconds));
    const std::int64_t h = s / 3600, m = s / 60 % 60, r = s % 60;
    if (h > 0)
        return std::to_string(h) + " h " + std::to_string(m) + " min " + std::to_string(r) + " s";
    if (m > 0)
        return std::to_string(m) + " min " + std::to_string(r) + " s";
    return std::to_string(r) + " s";
}

std::string AboutText(double seconds)
{
    const std::int64_t s = std::max<std::int64_t>(0, std::llround(seconds));
    if (s < 60)
        return "about " + std::to_string(s) + " s";
    const std::int64_t minutes = (s + 30) / 60; // to the nearest minute
    if (minutes < 60)
        return "about " + std::to_string(minutes) + " min";
    if (minutes < 48 * 60)
        return "about " + std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
    const std::int64_t days = (s + 43200) / 86400; // to the nearest day
    return "about " + GroupThousands(days) + " days";
}

std::string TimeLeftText(double seconds) { return AboutText(seconds) + " left"; }

namespace {

// -1: no test override; otherwise the separator the tests chose.
std::atomic<int> g_separatorOverride{-1};

// Locale objects built from the environment, never installed globally:
// QApplication and others may have set the process locale, which the
// locale-independent conversions must not see.
class EnvLocale {
public:
    explicit EnvLocale(int mask) : locale_(::newlocale(mask, "", static_cast<locale_t>(0))) {}
    ~EnvLocale()
    {
        if (locale_)
            ::freelocale(locale_);
    }
    EnvLocale(const EnvLocale&) = delete;
    EnvLocale& operator=(const EnvLocale&) = delete;
    locale_t get() const { return locale_; }

private:
    locale_t locale_;
};

// `value` (not negative) rounded to `digits` significant digits as a person
// rounds: to the nearest, and an exact tie away from zero. The text is
// to_chars' scientific form, "d.ddde-06". to_chars alone rounds an exact tie
// to even (-35.76324462890625 would lose its last 3 to a 2), so a possible
// tie is settled on the value's exact decimal expansion.
std::string RoundSignificant(double value, int digits)
{
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, digits - 1);
    std::string nearest(buf, static_cast<std::size_t>(res.ptr - buf));
    // A tie shows as a 5 in the first dropped digit; anything else was
    // rounded the one right way already.
    res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, digits);
    std::string_view probe(buf, static_cast<std::size_t>(res.ptr - buf));
    if (probe[probe.find('e') - 1] != '5')
        return nearest;

    // Every double has an exact decimal expansion of at most 767 significant
    // digits; 800 after the point hold all of them.
    static constexpr int kExactDigits = 800;
    std::string exact(kExactDigits + 16, '\0');
    res = std::to_chars(exact.data(), exact.data() + exact.size(), value, std::chars_format::scientific,
                        kExactDigits);
    exact.resize(static_cast<std::size_t>(res.ptr - exact.data()));
    const std::size_t ePos = exact.find('e');
    std::string mantissa; // all digits, without the point
    for (char c : std::string_view(exact).substr(0, ePos))
        if (c != '.')
            mantissa += c;
    int exponent = 0;
    std::string_view expText = std::string_view(exact).substr(ePos + 1);
    if (!expText.empty() && expText.front() == '+')
        expText.remove_prefix(1);
    std::from_chars(expText.data(), expText.data() + expText.size(), exponent);

    const bool up = mantissa[static_cast<std::size_t>(digits)] >= '5';
    mantissa.resize(static_cast<std::size_t>(digits));
    if (up) {
        std::size_t i = mantissa.size();
        while (i > 0 && mantissa[i - 1] == '9')
            mantissa[--i] = '0';
        if (i == 0) { // 9.99..95 becomes 1.00..0 with the next exponent
            mantissa.insert(mantissa.begin(), '1');
            mantissa.pop_back();
            ++exponent;
        } else {
            ++mantissa[i - 1];
        }
    }
    std::string out(1, mantissa[0]);
    if (digits > 1) {
        out += '.';
        out.append(mantissa, 1);
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10)
        out += '0';
    out += std::to_string(magnitude);
    return out;
}

} // namespace

char DecimalSeparator()
{
    int forced = g_separatorOverride.load();
    if (forced >= 0)
        return static_cast<char>(forced);
    EnvLocale locale(LC_NUMERIC_MASK);
    if (!locale.get())
        return '.';
    const char* radix = ::nl_langinfo_l(RADIXCHAR, locale.get());
    // A separator of more than one byte (not one 8-bit character) falls back
    // to the period.
    if (!radix || radix[0] == '\0' || radix[1] != '\0')
        return '.';
    return radix[0];
}

void SetDecimalSeparatorForTests(std::optional<char> separator)
{
    g_separatorOverride.store(separator ? static_cast<unsigned char>(*separator) : -1);
}

std::string FormatGeneral(double value, int digits, double fixedFrom)
{
    if (std::isnan(value))
        return "NAN";
    if (std::isinf(value))
        return value < 0 ? "-INF" : "INF";
    if (value == 0)
        return "0";
    if (digits < 1)
        digits = 1;
    if (digits > 17)
        digits = 17;

    // Round to `digits` significant digits: "d.ddde-06".
    const std::string roundedText = RoundSignificant(std::fabs(value), digits);
    std::string_view sci = roundedText;
    std::size_t ePos = sci.find('e');
    std::string mantissa;
    for (char c : sci.substr(0, ePos))
        if (c != '.')
            mantissa += c;
    int exponent = 0;
    std::string_view expText = sci.substr(ePos + 1);
    if (!expText.empty() && expText.front() == '+')
        expText.remove_prefix(1);
    std::from_chars(expText.data(), expText.data() + expText.size(), exponent);
    while (mantissa.size() > 1 && mantissa.back() == '0')
        mantissa.pop_back();

    // The notation follows the rounded value: 9.9999999999999999E-6 rounds
    // to 1E-5 and is then written in fixed notation.
    double rounded = 0;
    std::from_chars(sci.data(), sci.data() + sci.size(), rounded);
    const char sep = DecimalSeparator();
    std::string out = value < 0 ? "-" : "";
    if (exponent < digits && rounded >= fixedFrom) {
        if (exponent >= 0) {
            std::size_t intDigits = static_cast<std::size_t>(exponent) + 1;
            if (mantissa.size() <= intDigits) {
                out += mantissa;
                out.append(intDigits - mantissa.size(), '0');
            } else {
                out += mantissa.substr(0, intDigits);
                out += sep;
                out += mantissa.substr(intDigits);
            }
        } else {
            out += '0';
            out += sep;
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += mantissa;
        }
    } else {
        out += mantissa[0];
        if (mantissa.size() > 1) {
            out += sep;
            out += mantissa.substr(1);
        }
        out += 'E';
        out += std::to_string(exponent); // "-6", "20": no '+', no leading zeros
    }
    return out;
}

std::string FormatG(double value) { return FormatGeneral(value, 15, 0.00001); }

std::string FormatF(double value)
{
    // "%20.14f" in the classic locale: to_chars with a precision rounds the
    // exact binary value just as printf does.
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 14);
    std::string text(buf, static_cast<std::size_t>(res.ptr - buf));
    if (text.size() < 20)
        text.insert(0, 20 - text.size(), ' ');
    return text;
}

// Short date, a blank, long time: strftime's "%x %X" under the LC_TIME of
// the environment (for example "12/07/2026 07:55:43 PM" under en_US.UTF-8,
// "07.12.2026 19:55:43" under de_DE.UTF-8).
std::string FormatDateTimeNow()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char buf[256];
    std::size_t n = 0;
    EnvLocale locale(LC_TIME_MASK);
    if (locale.get())
        n = ::strftime_l(buf, sizeof buf, "%x %X", &local, locale.get());
    else
        n = std::strftime(buf, sizeof buf, "%x %X", &local);
    return std::string(buf, n);
}

} // namespace kartivo::platform
