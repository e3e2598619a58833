#include "platform/Formats.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <langinfo.h>
#include <locale.h>
#include <string_view>
#include <system_error>

namespace platform {

namespace {

// -1: no test override; otherwise the separator the tests chose.
std::atomic<int> g_separatorOverride{-1};

// Locale objects built from the environment, never installed globally:
// QApplication and others may have set the process locale, which the
// locale-independent conversions must not see.
class EnvLocale {
public:
    explicit EnvLocale(int mask) : locale_(::newlocale(mask, "", static_cast<locale_t>(0))) {}
    ~EnvLocale() {
        if (locale_)
            ::freelocale(locale_);
    }
    EnvLocale(const EnvLocale&) = delete;
    EnvLocale& operator=(const EnvLocale&) = delete;
    locale_t get() const { return locale_; }

private:
    locale_t locale_;
};

} // namespace

char DecimalSeparator() {
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

void SetDecimalSeparatorForTests(std::optional<char> separator) {
    g_separatorOverride.store(separator ? static_cast<unsigned char>(*separator) : -1);
}

std::string FormatGeneral(double value, int digits, double fixedFrom) {
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
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific,
                             digits - 1);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
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
        out += std::to_string(exponent);   // "-6", "20": no '+', no leading zeros
    }
    return out;
}

std::string FormatG(double value) { return FormatGeneral(value, 15, 0.00001); }

std::string FormatF(double value) {
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
std::string FormatDateTimeNow() {
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

} // namespace platform
