// SDF files built byte by byte: the ASCII header lines and the 81-byte binary header of a
// 3 x 2 grid whose phase unit (with the usual test trailer) is 2^-14, and little-endian numbers.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "vell/sdf/sdf.h"

namespace vptest {

// ASCII header lines up to and including the "*" line.
struct ascii_head {
    std::string points = "3";
    std::string profiles = "2";
    std::string type = "ULONGINT";
    std::string xscale = "1e-06";
    std::string yscale = "1e-06";
    std::string zscale = "6.103515625e-05";  // 2^-14
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

// The 81-byte binary header (little-endian).
struct binary_head {
    uint16_t points = 3;
    uint16_t profiles = 2;
    uint8_t type = SDF_INTEGER;
    double xscale = 1e-6;
    double yscale = 1e-6;
    double zscale = 0x1p-14;
    double zres = 0x1p-14;
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

}  // namespace vptest
