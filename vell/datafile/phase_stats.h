// Heights of a phase map: the phase unit of a dataset and the statistics of its valid points.
#pragma once

#include <cstdint>

#include "vell/datafile/dataset.h"

// Metres per phase count: intf_scale_factor x wavelength_in x obliquity_factor / R, with R 4096
// when phase_res is 0 and 32768 otherwise (computed in double from the single-precision fields).
double dat_phase_unit(const dat_header& header);

// Statistics over the valid points (values up to DAT_PHASE_MAX_VALID) of a phase map, in
// counts. With no valid point, valid is 0 and the other values are 0.
struct dat_phase_stats {
    uint64_t points = 0;   // width x height
    uint64_t valid = 0;
    int32_t min = 0;
    int32_t max = 0;
    double mean = 0;
    double rms = 0;        // root mean square deviation from the mean
};

// The statistics of the map's width x height points (bounded by count). A map without data
// gives all zeros.
dat_phase_stats dat_phase_statistics(const phase_map& map);
