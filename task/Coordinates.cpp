#include "task/Coordinates.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace kartivo::task {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The decimal grammar of the classic text-to-float conversion: blanks around,
// optional sign, digits with at most one period, optional exponent.
bool IsDecimalNumber(std::string_view s)
{
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < s.size() && IsDigit(s[i])) {
        ++i;
        ++digits;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && IsDigit(s[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        std::size_t expDigits = 0;
        while (i < s.size() && IsDigit(s[i])) {
            ++i;
            ++expDigits;
        }
        if (expDigits == 0)
            return false;
    }
    return i == s.size();
}

} // namespace

bool ParseCoordinate(const std::string& text, double& value)
{
    std::string s = text;
    for (char& c : s)
        if (c == ',')
            c = '.';
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return false;
    s = s.substr(first, s.find_last_not_of(' ') - first + 1);
    if (!IsDecimalNumber(s))
        return false;
    const char* begin = s.data() + (s[0] == '+' ? 1 : 0);
    const auto result = std::from_chars(begin, s.data() + s.size(), value);
    // Magnitudes beyond a double are numbers too: too large ones become
    // infinite (the range checks refuse them), too small ones zero.
    if (result.ec == std::errc::result_out_of_range) {
        const auto e = s.find_first_of("eE");
        const bool tiny = e != std::string::npos && s.find('-', e) != std::string::npos;
        value = tiny ? 0.0 : HUGE_VAL;
        if (s[0] == '-')
            value = -value;
        return true;
    }
    return result.ec == std::errc() && result.ptr == s.data() + s.size();
}

std::string CheckRequest(double left, double right, double top, double bottom, int zoom)
{
    // NaN fails every comparison, so the range tests below are written to
    // refuse it: "not within" rather than "outside".
    auto within = [](double v, double limit) { return v >= -limit && v <= limit; };
    if (!within(left, 180))
        return "Left Longitude should be between -180 and 180.";
    if (!within(right, 180))
        return "Right Longitude should be between -180 and 180.";
    if (!within(top, 85))
        return "Top Latitude should be between -85 and 85.";
    if (!within(bottom, 85))
        return "Bottom Latitude should be between -85 and 85.";
    if (left > right)
        return "Left Longitude should less than Right Longitude!";
    if (top < bottom)
        return "Bottom Latitude should less than Top Latitude!";
    if (zoom < 1 || zoom > 20)
        return "Zoom level should be between 1 and 20.";
    return "";
}

} // namespace kartivo::task
