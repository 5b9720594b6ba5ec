// Number conversions of the SDF readers and writers. They read text the way the C library's
// strtol, strtoul and strtod read it on the platform's home system (32-bit long), but without
// the locale, without errno and without undefined behaviour on any input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sdf::num {

// Blank, tab, line feed, vertical tab, form feed, carriage return.
constexpr bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Leading white space, an optional sign, decimal digits up to the first other character.
// No digits give 0 (and *used 0). Values beyond the signed 32-bit range clamp to its ends.
int32_t to_long32(std::string_view text, std::size_t* used = nullptr);

// The same for an unsigned 32-bit value: a minus sign negates modulo 2^32; a magnitude beyond
// 2^32 - 1 gives 2^32 - 1 whatever the sign.
uint32_t to_ulong32(std::string_view text, std::size_t* used = nullptr);

// Leading white space, an optional sign, then a decimal floating-point number, "inf",
// "infinity" or "nan" (any case). No number gives 0 (and *used 0). A value beyond the range
// gives an infinity, one too small for it a zero, each with the number's sign.
double to_double(std::string_view text, std::size_t* used = nullptr);
// The same read directly in single precision (rounded once).
float to_float(std::string_view text, std::size_t* used = nullptr);

// Single precision of a double, rounded to nearest; beyond the single range an infinity.
float narrow(double value);

// Formats like printf's "%.10g" in the C locale into out (at least 32 bytes), returns the
// length. No terminator is written.
std::size_t format_g10(double value, char* out);

}  // namespace sdf::num
