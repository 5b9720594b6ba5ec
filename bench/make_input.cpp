// sdf_bench_input FORM SIZE PATH: writes a SIZE x SIZE benchmark surface as an SDF file.
//
//   FORM ascii    the ASCII form exactly as the platform writes it (sdf_write_file: ten values
//                 a line, data offset, trailer); phase values span about six decimal digits
//   FORM binary   the binary form: the 81-byte little-endian SDF header, then INTEGER
//                 (signed 16-bit) heights
//
// The surface is a tilted plane with a spherical bowl, ripple and pseudo-random noise, with
// a few invalid points (a scratch and a corner outside the aperture), so that every digit
// count and the invalid-point text occur. The same SIZE always gives the same file apart
// from the ModDate line.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vell/datafile/dataset.h"
#include "vell/platform/errors.h"
#include "vell/sdf/sdf_writer.h"

namespace {

constexpr double spacing = 1e-6;        // metres between points
constexpr double z_resolution = 2e-10;  // metres per count of the binary form

struct noise {
    uint64_t state = 0x9E3779B97F4A7C15ull;
    // Uniform in [-1, 1).
    double next()
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(state >> 11) / 4503599627370496.0 - 1.0;
    }
};

bool invalid_point(int x, int y, int size)
{
    if (x + y < size / 64)
        return true;  // corner outside the aperture
    return std::abs(x - y - size / 3) <= 1 && y > size / 4 && y < size / 2;  // a scratch
}

// Height relative to the plane's lowest point, in units of `scale` (0 .. about `scale`).
double height(int x, int y, int size, noise& rng)
{
    double u = static_cast<double>(x) / size;
    double v = static_cast<double>(y) / size;
    double bowl = (u - 0.5) * (u - 0.5) + (v - 0.5) * (v - 0.5);  // 0 .. 0.5
    double ripple = std::sin(u * 40.0) * std::cos(v * 31.0);        // -1 .. 1
    return 0.45 * u + 0.25 * v + 0.4 * bowl + 0.04 * ripple + 0.01 * rng.next() + 0.05;
}

int write_ascii(const char* path, int size)
{
    dat_header header;
    dat_header_create(&header);
    header.swinfo.type = 1;
    std::memcpy(header.swinfo.date, "Jun 14 09:30:00 2021          ", 30);
    header.swinfo.vers = {4, 1, 0};
    std::snprintf(header.comment, sizeof header.comment, "benchmark surface %d x %d", size, size);
    header.intf_scale_factor = 0.5f;
    header.wavelength_in = 6.328e-7f;
    header.num_aperture = 0.3f;
    header.obliquity_factor = 1.0f;
    header.magnification = 10.0f;
    header.lateral_res = static_cast<float>(spacing);
    header.phase_res = 1;
    header.camera_width = static_cast<int16_t>(size);
    header.camera_height = static_cast<int16_t>(size);
    header.pixel_width = header.pixel_height = static_cast<float>(spacing);

    std::vector<int32_t> values(static_cast<std::size_t>(size) * size);
    noise rng;
    // Counts from about -120000 to 990000: relative to the minimum mostly six digits.
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            double h = height(x, y, size, rng);
            values[static_cast<std::size_t>(y) * size + x] =
                invalid_point(x, y, size) ? DAT_INVALID_PHASE
                                          : static_cast<int32_t>(std::lround(h * 1.0e6)) - 160000;
        }
    phase_map phase{};
    phase.width = static_cast<int16_t>(size);
    phase.height = static_cast<int16_t>(size);
    phase.count = static_cast<uint32_t>(values.size());
    phase.data = values.data();
    header.cn_width = phase.width;
    header.cn_height = phase.height;
    header.cn_n_bytes = static_cast<int32_t>(values.size() * 4);
    int32_t rc = sdf_write_file(path, &header, nullptr, &phase);
    if (rc != NO_ERROR)
        std::fprintf(stderr, "sdf_write_file %s: %s\n", path, u_err_name(rc));
    return rc == NO_ERROR ? 0 : 1;
}

void put_le16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void put_le_double(unsigned char* p, double d)
{
    uint64_t v;
    std::memcpy(&v, &d, 8);
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

int write_binary(const char* path, int size)
{
    unsigned char h[81] = {};
    std::memcpy(h, "aBCR-1.0", 8);
    h[0] = 'b';  // any first byte but "a" marks the binary form
    std::memcpy(h + 8, "TN4.1.0   ", 10);
    std::memcpy(h + 18, "140620210930", 12);
    std::memcpy(h + 30, "140620210930", 12);
    put_le16(h + 42, static_cast<uint16_t>(size));
    put_le16(h + 44, static_cast<uint16_t>(size));
    put_le_double(h + 46, spacing * size);
    put_le_double(h + 54, spacing * size);
    put_le_double(h + 62, z_resolution);
    put_le_double(h + 70, z_resolution);
    h[78] = 0;
    h[79] = 5;  // INTEGER
    h[80] = 0;

    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        std::perror(path);
        return 1;
    }
    bool ok = std::fwrite(h, 1, sizeof h, f) == sizeof h;
    noise rng;
    std::vector<unsigned char> row(static_cast<std::size_t>(size) * 2);
    for (int y = 0; y < size && ok; ++y) {
        for (int x = 0; x < size; ++x) {
            // -30000 .. about 32000, never the invalid value 32767 unless meant.
            double v = height(x, y, size, rng) * 60000.0 - 30000.0;
            auto count = invalid_point(x, y, size)
                             ? int16_t{32767}
                             : static_cast<int16_t>(std::lround(std::fmin(v, 32766.0)));
            put_le16(row.data() + 2 * static_cast<std::size_t>(x), static_cast<uint16_t>(count));
        }
        ok = std::fwrite(row.data(), 1, row.size(), f) == row.size();
    }
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
        std::fprintf(stderr, "%s: write failed\n", path);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    int size = argc == 4 ? std::atoi(argv[2]) : 0;
    if (size < 16 || size > 32767 ||
        (std::strcmp(argv[1], "ascii") != 0 && std::strcmp(argv[1], "binary") != 0)) {
        std::fprintf(stderr, "usage: sdf_bench_input ascii|binary SIZE PATH   (16 <= SIZE <= 32767)\n");
        return 2;
    }
    return std::strcmp(argv[1], "ascii") == 0 ? write_ascii(argv[3], size) : write_binary(argv[3], size);
}
