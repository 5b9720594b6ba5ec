// A picture of a phase map: heights in a perceptual colour scale (viridis) from the lowest to
// the highest valid point, invalid points in a neutral grey, one pixel per point. A map wider
// or taller than DAT_PICTURE_MAX_SIDE is reduced by the smallest whole factor that fits it,
// each pixel the mean of the valid points of its square (grey when it has none).
#pragma once

#include <cstdint>
#include <vector>

#include "vell/datafile/dataset.h"
#include "vell/datafile/phase_stats.h"

constexpr uint32_t DAT_PICTURE_MAX_SIDE = 1024;
constexpr uint8_t DAT_PICTURE_GREY = 128;  // red, green and blue of an invalid pixel

struct dat_picture {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t factor = 1;         // points per pixel along each side
    std::vector<uint8_t> rgb;    // rows of RGB triples, the map's first row on top
};

// The colour of position t in [0, 1] of the scale (values outside are clamped): dark blue at 0,
// through blue-green, to yellow at 1.
void dat_scale_colour(double t, uint8_t rgb[3]);

// The picture of the map, scaled between stats.min and stats.max (a flat map is drawn in the
// scale's middle colour). A map without data gives an empty picture.
dat_picture dat_phase_picture(const phase_map& map, const dat_phase_stats& stats);
