#include "vell/datafile/phase_stats.h"

#include <algorithm>
#include <cmath>

double dat_phase_unit(const dat_header& header)
{
    double r = header.phase_res == 0 ? 4096.0 : 32768.0;
    return double(header.intf_scale_factor) * double(header.wavelength_in) * double(header.obliquity_factor) / r;
}

dat_phase_stats dat_phase_statistics(const phase_map& map)
{
    dat_phase_stats s;
    if (map.data == nullptr || map.width <= 0 || map.height <= 0)
        return s;
    uint64_t n = std::min<uint64_t>(uint64_t(map.width) * uint64_t(map.height), map.count);
    s.points = n;
    // The sum of up to 2^30 values of 31 bits fits 64 bits exactly.
    int64_t sum = 0;
    int32_t lo = 0, hi = 0;
    for (uint64_t i = 0; i < n; ++i) {
        int32_t v = map.data[i];
        if (v > DAT_PHASE_MAX_VALID)
            continue;
        if (s.valid == 0 || v < lo)
            lo = v;
        if (s.valid == 0 || v > hi)
            hi = v;
        sum += v;
        ++s.valid;
    }
    if (s.valid == 0)
        return s;
    s.min = lo;
    s.max = hi;
    s.mean = double(sum) / double(s.valid);
    double squares = 0;
    for (uint64_t i = 0; i < n; ++i) {
        int32_t v = map.data[i];
        if (v <= DAT_PHASE_MAX_VALID) {
            double d = double(v) - s.mean;
            squares += d * d;
        }
    }
    s.rms = std::sqrt(squares / double(s.valid));
    return s;
}
