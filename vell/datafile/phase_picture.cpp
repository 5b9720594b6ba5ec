#include "vell/datafile/phase_picture.h"

#include <algorithm>
#include <array>
#include <cmath>


namespace {

// Ten evenly spaced colours of the viridis scale; the scale between them is linear.
constexpr std::array<std::array<uint8_t, 3>, 10> scale = {{
    {0x44, 0x01, 0x54},
    {0x48, 0x28, 0x78},
    {0x3E, 0x4A, 0x89},
    {0x31, 0x68, 0x8E},
    {0x26, 0x82, 0x8E},
    {0x1F, 0x9E, 0x89},
    {0x35, 0xB7, 0x79},
    {0x6D, 0xCD, 0x59},
    {0xB4, 0xDE, 0x2C},
    {0xFD, 0xE7, 0x25},
}};

}  // namespace

void dat_scale_colour(double t, uint8_t rgb[3])
{
    if (!(t > 0))  // also NaN
        t = 0;
    if (t > 1)
        t = 1;
    double pos = t * (scale.size() - 1);
    auto i = static_cast<std::size_t>(pos);
    if (i >= scale.size() - 1)
        i = scale.size() - 2;
    double f = pos - double(i);
    for (int c = 0; c < 3; ++c) {
        double v = scale[i][c] + f * (double(scale[i + 1][c]) - double(scale[i][c]));
        rgb[c] = static_cast<uint8_t>(std::lround(v));
    }
}

dat_picture dat_phase_picture(const phase_map& map, const dat_phase_stats& stats)
{
    dat_picture pic;
    if (map.data == nullptr || map.width <= 0 || map.height <= 0 ||
        uint64_t(map.width) * uint64_t(map.height) > map.count)
        return pic;
    auto w = static_cast<uint32_t>(map.width);
    auto h = static_cast<uint32_t>(map.height);
    uint32_t longest = std::max(w, h);
    pic.factor = (longest + DAT_PICTURE_MAX_SIDE - 1) / DAT_PICTURE_MAX_SIDE;
    pic.width = (w + pic.factor - 1) / pic.factor;
    pic.height = (h + pic.factor - 1) / pic.factor;
    pic.rgb.assign(std::size_t{pic.width} * pic.height * 3, DAT_PICTURE_GREY);

    double lo = stats.min;
    double range = double(stats.max) - double(stats.min);
    for (uint32_t py = 0; py < pic.height; ++py) {
        for (uint32_t px = 0; px < pic.width; ++px) {
            double sum = 0;
            uint64_t n = 0;
            uint32_t y_end = std::min(h, (py + 1) * pic.factor);
            uint32_t x_end = std::min(w, (px + 1) * pic.factor);
            for (uint32_t y = py * pic.factor; y < y_end; ++y)
                for (uint32_t x = px * pic.factor; x < x_end; ++x) {
                    int32_t v = map.data[std::size_t{y} * w + x];
                    if (v <= DAT_PHASE_MAX_VALID) {
                        sum += v;
                        ++n;
                    }
                }
            if (n == 0)
                continue;
            double t = range > 0 ? (sum / double(n) - lo) / range : 0.5;
            dat_scale_colour(t, &pic.rgb[(std::size_t{py} * pic.width + px) * 3]);
        }
    }
    return pic;
}
