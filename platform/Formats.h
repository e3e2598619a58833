#pragma once
// Number and date texts. F and integers never depend on the locale; G, the
// converter's general format and the date-and-time text use the user's
// regional settings, read in one function each so that tests can choose them.
#include <optional>
#include <string>

namespace platform {

// G: 15 significant digits, trailing zeros dropped, fixed notation from
// 0.00001 on (and for 0), else scientific such as 1E-6; user's separator.
std::string FormatG(double value);
// F: the C format "%20.14f", always with a period.
std::string FormatF(double value);
// General format with `digits` significant digits, fixed from `fixedFrom` on
// (the converter uses 15 digits and 0.0001); user's separator.
std::string FormatGeneral(double value, int digits, double fixedFrom);
// D: short date, a blank, long time, of the current local time.
std::string FormatDateTimeNow();

// The user's decimal separator (LC_NUMERIC of the environment).
char DecimalSeparator();
// Tests choose a separator; std::nullopt returns to the user's setting.
void SetDecimalSeparatorForTests(std::optional<char> separator);

} // namespace platform
