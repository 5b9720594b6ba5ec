// The decimal numbers of the platform's text files, as the calibration file and the ramp
// configuration file write them: an integer "[+-]digits", and a real "[+-]digits[.digits]" or
// "[+-][digits].digits", with at least one digit, optionally followed by an exponent
// "(e|E)[+-]digits" (an "e" without digits after it is not part of the number). "nan", "inf"
// and hexadecimal forms are not numbers. Conversion ignores the locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The integer at the start of `text`: false when the text does not start with one. `value` is
// saturated to the 32-bit range; `length` is the number of characters the number takes.
bool u_lex_int(std::string_view text, int32_t& value, std::size_t& length);

// The real number at the start of `text`: false when the text does not start with one. A value
// too large for a double gives an infinity, one too small for it zero (both signed); `length`
// is the number of characters the number takes.
bool u_lex_real(std::string_view text, double& value, std::size_t& length);
