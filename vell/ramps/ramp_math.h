// Float-to-integer conversions of the ramp code: every one saturates, NaN gives 0.
#pragma once

#include <cmath>
#include <cstdint>

namespace rr_math {

// Truncation toward zero, clamped to the signed 32-bit range.
inline int32_t trunc_i32(double v)
{
    if (std::isnan(v))
        return 0;
    if (v >= 2147483647.0)
        return INT32_MAX;
    if (v <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Rounding half away from zero, clamped.
inline int32_t round_i32(double v) { return trunc_i32(std::isnan(v) ? v : std::round(v)); }

// Ceiling, clamped.
inline int32_t ceil_i32(double v) { return trunc_i32(std::isnan(v) ? v : std::ceil(v)); }

// A sample value: truncation, clamped to 0..65535.
inline uint16_t sample_u16(double v)
{
    if (!(v > 0.0))
        return 0;
    if (v >= 65535.0)
        return 65535;
    return static_cast<uint16_t>(v);
}

}  // namespace rr_math
