#include "vell/platform/number_lex.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t digits_from(std::string_view t, std::size_t i)
{
    while (i < t.size() && is_digit(t[i]))
        ++i;
    return i;
}

}  // namespace

bool u_lex_int(std::string_view t, int32_t& value, std::size_t& length)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        negative = t[i++] == '-';
    if (i >= t.size() || !is_digit(t[i]))
        return false;
    // Beyond 2^31 the digits only move the number further out of range.
    constexpr int64_t cap = int64_t(std::numeric_limits<int32_t>::max()) + 1;
    int64_t n = 0;
    for (; i < t.size() && is_digit(t[i]); ++i)
        if (n < cap)
            n = n * 10 + (t[i] - '0');
    if (n > cap)
        n = cap;
    n = negative ? -n : n;
    value = n > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                    : static_cast<int32_t>(n);
    length = i;
    return true;
}

bool u_lex_real(std::string_view t, double& value, std::size_t& length)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        negative = t[i++] == '-';
    const std::size_t mantissa = i;
    std::size_t end = digits_from(t, i);
    std::size_t digits = end - i;
    if (end < t.size() && t[end] == '.') {
        const std::size_t frac = end + 1;
        end = digits_from(t, frac);
        digits += end - frac;
    }
    if (digits == 0)
        return false;
    bool tiny_exponent = false;
    if (end < t.size() && (t[end] == 'e' || t[end] == 'E')) {
        std::size_t e = end + 1;
        const bool minus = e < t.size() && t[e] == '-';
        if (e < t.size() && (t[e] == '+' || t[e] == '-'))
            ++e;
        if (e < t.size() && is_digit(t[e])) {
            end = digits_from(t, e);
            tiny_exponent = minus;
        }
    }
    // from_chars takes no sign of its own here: the sign was read above.
    double v = 0.0;
    auto res = std::from_chars(t.data() + mantissa, t.data() + end, v, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range)
        v = tiny_exponent ? 0.0 : std::numeric_limits<double>::infinity();
    else if (res.ec != std::errc())
        return false;
    value = negative ? -v : v;
    length = end;
    return true;
}
