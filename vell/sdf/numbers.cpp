#include "vell/sdf/numbers.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace sdf::num {

namespace {

// Sign and magnitude of a decimal integer; the magnitude saturates far above 2^32.
struct integer_text {
    bool negative = false;
    uint64_t magnitude = 0;
    std::size_t used = 0;  // 0 when there are no digits
};

integer_text scan_text_integer(std::string_view s)
{
    integer_text r;
    std::size_t i = 0;
    while (i < s.size() && is_space(s[i]))
        ++i;
    const char* begin = s.data() + i;
    const char* stop = begin;
    if (scan_integer(begin, s.data() + s.size(), r.negative, r.magnitude, stop)) {
        r.used = static_cast<std::size_t>(stop - s.data());
    } else {
        r.negative = false;
        r.magnitude = 0;
    }
    return r;
}

// Whether an out-of-range decimal number is too large (rather than too small) for the type:
// the sign of its decimal exponent once the mantissa is read as 0.ddd.
bool too_large(std::string_view s)
{
    std::size_t i = 0;
    if (i < s.size() && s[i] == '-')
        ++i;
    int64_t integer_digits = 0;
    int64_t leading_zeros = 0;
    bool nonzero = false;
    for (; i < s.size() && is_digit(s[i]); ++i) {
        if (s[i] != '0')
            nonzero = true;
        if (nonzero)
            ++integer_digits;
    }
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && is_digit(s[i]); ++i) {
            if (!nonzero && s[i] == '0')
                ++leading_zeros;
            else
                nonzero = true;
        }
    }
    int64_t exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool neg = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            neg = s[i++] == '-';
        for (; i < s.size() && is_digit(s[i]); ++i) {
            if (exponent < 1000000)
                exponent = exponent * 10 + (s[i] - '0');
        }
        if (neg)
            exponent = -exponent;
    }
    int64_t magnitude = integer_digits > 0 ? integer_digits : -leading_zeros;
    return magnitude + exponent > 0;
}

template <class T>
T to_floating(std::string_view s, std::size_t* used)
{
    if (used != nullptr)
        *used = 0;
    std::size_t i = 0;
    while (i < s.size() && is_space(s[i]))
        ++i;
    if (i < s.size() && s[i] == '+') {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            return 0;
    }
    const char* begin = s.data() + i;
    const char* end = s.data() + s.size();
    T value = 0;
    auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::general);
    if (ec == std::errc::invalid_argument)
        return 0;
    bool negative = begin < end && *begin == '-';
    if (ec == std::errc::result_out_of_range) {
        std::string_view number(begin, static_cast<std::size_t>(ptr - begin));
        value = too_large(number) ? std::numeric_limits<T>::infinity() : T(0);
        if (negative)
            value = -value;
    }
    if (used != nullptr)
        *used = static_cast<std::size_t>(ptr - s.data());
    return value;
}

}  // namespace

int32_t to_long32(std::string_view text, std::size_t* used)
{
    integer_text r = scan_text_integer(text);
    if (used != nullptr)
        *used = r.used;
    if (r.negative)
        return r.magnitude >= uint64_t{1} << 31 ? std::numeric_limits<int32_t>::min()
                                                 : -static_cast<int32_t>(r.magnitude);
    return r.magnitude > uint64_t{std::numeric_limits<int32_t>::max()}
               ? std::numeric_limits<int32_t>::max()
               : static_cast<int32_t>(r.magnitude);
}

uint32_t to_ulong32(std::string_view text, std::size_t* used)
{
    integer_text r = scan_text_integer(text);
    if (used != nullptr)
        *used = r.used;
    if (r.magnitude > std::numeric_limits<uint32_t>::max())
        return std::numeric_limits<uint32_t>::max();
    auto v = static_cast<uint32_t>(r.magnitude);
    return r.negative ? 0u - v : v;
}

double to_double(std::string_view text, std::size_t* used) { return to_floating<double>(text, used); }

float to_float(std::string_view text, std::size_t* used) { return to_floating<float>(text, used); }

float narrow(double value)
{
    constexpr double max = std::numeric_limits<float>::max();
    // Half-way between the largest single and 2^128: from there on the value rounds to an
    // infinity.
    constexpr double overflow = 0x1.ffffffp127;
    if (std::isnan(value))
        return std::copysign(std::numeric_limits<float>::quiet_NaN(), static_cast<float>(std::signbit(value) ? -1 : 1));
    if (value > max || value < -max) {
        float inf = std::numeric_limits<float>::infinity();
        if (value >= overflow)
            return inf;
        if (value <= -overflow)
            return -inf;
        return value > 0 ? std::numeric_limits<float>::max() : -std::numeric_limits<float>::max();
    }
    return static_cast<float>(value);
}

std::string g12_text(double value)
{
    char text[40];
    std::size_t n;
    if (std::isnan(value)) {
        n = 7;
        std::memcpy(text, "1.#QNAN", n);
    } else {
        n = format_g10(value, text);
    }
    std::string out(n < 12 ? 12 - n : 0, ' ');
    out.append(text, n);
    return out;
}

std::string_view trim(std::string_view s)
{
    auto trimmed = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
    while (!s.empty() && trimmed(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && trimmed(s.back()))
        s.remove_suffix(1);
    return s;
}

std::size_t format_g10(double value, char* out)
{
    auto r = std::to_chars(out, out + 32, value, std::chars_format::general, 10);
    return static_cast<std::size_t>(r.ptr - out);
}

}  // namespace sdf::num
