// Number conversions of the SDF readers and writers. They read text the way the C library's
// strtol, strtoul and strtod read it on the platform's home system (32-bit long), but without
// the locale, without errno and without undefined behaviour on any input.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace sdf::num {

// Blank, tab, line feed, vertical tab, form feed, carriage return.
constexpr bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Eight characters as one little-endian word: the first character in the lowest byte.
inline uint64_t load_eight(const char* p)
{
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big)
        w = __builtin_bswap64(w);
    return w;
}

// How many of the word's characters, from the first, are decimal digits (0 to 8).
inline unsigned leading_digits(uint64_t w)
{
    constexpr uint64_t high = 0x8080808080808080u;
    uint64_t low7 = w & ~high;
    // Per byte, without carries between bytes: at least '0', above '9', or not ASCII.
    uint64_t at_least_0 = (low7 + 0x5050505050505050u) & high;
    uint64_t above_9 = (low7 + 0x4646464646464646u) & high;
    uint64_t other = (w & high) | (at_least_0 ^ high) | above_9;
    return static_cast<unsigned>(std::countr_zero(other)) / 8;  // 64 / 8 when all are digits
}

// The number of bits set, in word arithmetic (std::popcount is a library call on targets
// without the instruction).
inline unsigned bit_count(uint64_t x)
{
    x = x - ((x >> 1) & 0x5555555555555555u);
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<unsigned>((x * 0x0101010101010101u) >> 56);
}

// The value of the first k (1 to 8) characters of the word, all digits.
inline uint64_t digits_value(uint64_t w, unsigned k)
{
    // Shift the digits to the top and fill the bytes below with leading zeros.
    unsigned shift = 8 * (8 - k);
    uint64_t d = (w << shift) - (0x3030303030303030u << shift);
    d = d * 10 + (d >> 8);  // pairs of digits
    d = (((d & 0x000000FF000000FFu) * (100 + (1000000ull << 32))) +
         (((d >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32)))) >> 32;
    return d;
}

constexpr uint64_t decimal_power[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// A decimal integer at p (before e at the latest): an optional sign, then digits, read eight
// at a time where the text allows. False without digits. stop is the first character after
// it; the magnitude saturates far above 32 bits (every reader of it clamps to 32).
inline bool scan_integer(const char* p, const char* e, bool& negative, uint64_t& magnitude, const char*& stop)
{
    negative = false;
    if (p < e && (*p == '+' || *p == '-'))
        negative = *p++ == '-';
    const char* digits = p;
    uint64_t m = 0;
    constexpr uint64_t cap = uint64_t{1} << 36;
    // Eight characters at a time while the buffer holds them, then one at a time.
    while (e - p >= 8) {
        uint64_t w = load_eight(p);
        unsigned k = leading_digits(w);
        if (k == 0)
            break;
        if (m < cap)
            m = m * decimal_power[k] + digits_value(w, k);
        p += k;
        if (k < 8) {
            stop = p;
            magnitude = m;
            return true;
        }
    }
    for (; p < e; ++p) {
        auto d = static_cast<unsigned>(static_cast<unsigned char>(*p)) - unsigned{'0'};
        if (d > 9)
            break;
        if (m < cap)
            m = m * 10 + d;
    }
    stop = p;
    magnitude = m;
    return p != digits;
}


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

// "%12.10g" in the C locale (right-aligned to 12 characters), except that NaN is written as
// "1.#QNAN", which the trailer reader turns back into NaN whatever a C library prints for it.
// The form of the SDF header's scales and of the trailer's floating values.
std::string g12_text(double value);

// The text without leading and trailing blanks, tabs and line feeds (carriage returns stay).
std::string_view trim(std::string_view text);

}  // namespace sdf::num
