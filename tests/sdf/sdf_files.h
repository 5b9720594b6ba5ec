// Building SDF files byte by byte for the reader tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "datafile/dataset.h"
#include "platform/hooks.h"
#include "sdf/sdf.h"
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

// ASCII header lines up to and including the "*" line.
struct ascii_head {
    std::string points = "3";
    std::string profiles = "2";
    std::string type = "ULONGINT";
    std::string xscale = "1e-06";
    std::string yscale = "1e-06";
    std::string zscale = "6.103515625e-05";  // 2^-14, the unit of the default trailer
    std::string zres = "6.103515625e-05";
    std::string create = "020319951120";
    std::string extra;  // further lines before "*"

    std::string text() const
    {
        return "aBCR-1.0\n"
               "ManufacID = TN9.5.2\n"
               "CreateDate = " + create + "\n"
               "ModDate = 010120001200\n"
               "NumPoints = " + points + "\n"
               "NumProfiles = " + profiles + "\n"
               "Xscale = " + xscale + "\n"
               "Yscale = " + yscale + "\n"
               "Zscale = " + zscale + "\n"
               "Zresolution = " + zres + "\n"
               "Compression = 0\n"
               "DataType = " + type + "\n"
               "CheckType = 0\n" + extra + "*\n";
    }
};

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

inline void put_le(std::string& s, uint64_t v, int n)
{
    for (int i = 0; i < n; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline void put_f64(std::string& s, double d)
{
    uint64_t v;
    std::memcpy(&v, &d, 8);
    put_le(s, v, 8);
}

inline void put_f32(std::string& s, float f)
{
    uint32_t v;
    std::memcpy(&v, &f, 4);
    put_le(s, v, 4);
}

// The 81-byte binary header.
struct binary_head {
    uint16_t points = 3;
    uint16_t profiles = 2;
    uint8_t type = SDF_INTEGER;
    double xscale = 1e-6;
    double yscale = 1e-6;
    double zscale = 0x1p-14;
    double zres = 0x1p-14;  // wavelength_in 0.5, unit 2^-14
    std::string create = "020319951120";

    std::string bytes() const
    {
        std::string s = "bBCR-1.0";
        s += std::string("TN9.5.2\0\0\0", 10);
        std::string c = create;
        c.resize(12, '\0');
        s += c;
        s += "010120001200";
        put_le(s, points, 2);
        put_le(s, profiles, 2);
        put_f64(s, xscale);
        put_f64(s, yscale);
        put_f64(s, zscale);
        put_f64(s, zres);
        s.push_back(0);
        s.push_back(static_cast<char>(type));
        s.push_back(0);
        return s;
    }
};

}  // namespace sdftest
