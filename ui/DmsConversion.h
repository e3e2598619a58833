#pragma once
// The arithmetic of the degrees-minutes-seconds converter, free of Qt: how
// the three fields are read, how they are summed in double precision, and
// the text the converter shows for the result.
#include <optional>
#include <string>
#include <string_view>

namespace kartivo::ui {

namespace dms {

// A whole number as the converter accepts it for degrees and minutes:
// leading blanks, an optional sign, then decimal digits, or hexadecimal
// digits after "$", "x", "X", "0x" or "0X", up to the end of the text; the
// value must fit a signed 32-bit integer. Anything else gives nothing.
std::optional<int> ParseWholeNumber(std::string_view text);

// The seconds field read the way the C library reads a number in the "C"
// locale: white space skipped, an optional sign, digits with an optional "."
// and fraction, an optional exponent; reading stops at the first character
// that does not fit and text without a number reads as 0. Nothing when the
// value lies beyond the range of a double.
std::optional<double> ReadSeconds(std::string_view text);

// |degrees| + |minutes| / 60 + |seconds| / 3600, carrying the sign of the
// first field that is not zero: a sign typed on the degrees (or, for a value
// under one degree, on the minutes or seconds) applies to the whole angle, so
// -33 30 0 and -33 -30 0 both give -33.5 and 0 -30 0 gives -0.5. Evaluated in
// extended precision and rounded to double. Nothing when degrees or minutes
// are invalid or the seconds lie beyond a double's range.
std::optional<double> DmsToDegrees(std::string_view degrees, std::string_view minutes,
                                   std::string_view seconds);

// The result field's text: the general format with 15 significant digits
// and the user's decimal separator.
std::string FormatDegrees(double value);

// The message shown when the input cannot be converted.
inline constexpr const char* kInputError = "Input Error.";

} // namespace dms

} // namespace kartivo::ui
