// Building SDF files byte by byte for the reader tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "vell/datafile/dataset.h"
#include "vell/platform/hooks.h"
#include "vell/sdf/sdf.h"
#include "tests/support/sdf_bytes.h"
#include "tests/support/test_support.h"

namespace sdftest {

// A dataset as the reader leaves it; releases the phase data.
struct dataset {
    dat_header header{};
    intensity_map intensity{};
    phase_map phase{};
    dataset()
    {
        // Garbage in the maps shows that the reader clears them.
        intensity.data = reinterpret_cast<uint16_t*>(this);
        intensity.width = 7;
    }
    ~dataset();
    dataset(const dataset&) = delete;
    dataset& operator=(const dataset&) = delete;
    int32_t at(int i) const { return phase.data[i]; }
    std::vector<int32_t> values() const
    {
        return phase.data ? std::vector<int32_t>(phase.data, phase.data + phase.count) : std::vector<int32_t>{};
    }
};

inline dataset::~dataset() { u_free(phase.data); }

using vptest::ascii_head;
using vptest::binary_head;
using vptest::put_f32;
using vptest::put_f64;
using vptest::put_le;

// A complete trailer: the eight required keys (phase unit S x O x W / R = 0.5 x 1 x 0.5 / 4096
// = 2^-14), the data offset, then "*".
inline std::string trailer(int32_t offset = 0, const std::string& extra = "")
{
    return "*\n"
           "Data Offset = " + std::to_string(offset) + "\n"
           "intf_scale_factor=         0.5\n"
           "wavelength_in=         0.5\n"
           "num_aperture=        0.25\n"
           "obliquity_factor=           1\n"
           "lateral_res=       1e-06\n"
           "camera_width=640\n"
           "camera_height=480\n"
           "phase_res=0\n" + extra + "*\n";
}

}  // namespace sdftest
