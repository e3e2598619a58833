#pragma once
// Number and date texts. F and integers never depend on the locale; G, the
// converter's general format and the date-and-time text use the user's
// regional settings, read in one function each so that tests can choose them.
#include <cstdint>
#include <optional>
#include <string>

namespace kartivo::platform {

// G: 15 significant digits, trailing zeros dropped, fixed notation from
// 0.00001 on (and for 0), else scientific such as 1E-6; user's separator.
// An integer with its thousands separated by commas, as every count the
// three programs show is written: 66895872 -> "66,895,872". The same in every
// locale, so that the texts stay as the manual shows them.
std::string GroupThousands(std::int64_t n);

// Times as the three programs write them. A time taken, to the second:
// "0 s", "52 min 10 s", "1 h 0 min 5 s".
std::string DurationText(double seconds);
// An estimate, to the nearest unit shown: "about 45 s", "about 39 min",
// "about 2 h 5 min", and from two days on "about 48 days".
std::string AboutText(double seconds);
// The estimate of what remains: "about 39 min left".
std::string TimeLeftText(double seconds);

std::string FormatG(double value);
// F: the C format "%20.14f", always with a period.
std::string FormatF(double value);
// General format with `digits` significant digits, fixed from `fixedFrom` on
// (the converter uses 15 digits and 0.0001); user's separator. Scientific
// form is mantissa, "E", exponent without '+' or leading zeros (1.5E-7, 1E15),
// also used when the integer part has more than `digits` digits. The notation
// is chosen after rounding; 0 (and -0) give "0", NaN "NAN", infinities "INF".
std::string FormatGeneral(double value, int digits, double fixedFrom);
// D: short date, a blank, long time, of the current local time: strftime's
// "%x %X" under the LC_TIME of the environment (LC_ALL, LC_TIME, LANG), e.g.
// "07.12.2026 19:55:43" for de_DE.UTF-8, "12/07/26 19:55:43" for C.
std::string FormatDateTimeNow();

// The user's decimal separator: LC_NUMERIC of the environment, read through
// newlocale/nl_langinfo_l at each call (the process locale is never used).
// A separator of more than one byte falls back to '.'.
char DecimalSeparator();
// Tests choose a separator; std::nullopt returns to the user's setting.
void SetDecimalSeparatorForTests(std::optional<char> separator);

} // namespace kartivo::platform
