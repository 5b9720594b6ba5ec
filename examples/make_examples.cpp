// make_examples DIR: writes the bundled example surfaces into DIR.
//
//   surface_ascii.sdf   ASCII form with the platform trailer (written by sdf_write_file)
//   surface_binary.sdf  binary form: the 81-byte little-endian SDF header, then FLOAT heights
//
// Both hold the same 24 x 16 surface: a shallow spherical dimple on a tilted plane, with a few
// invalid points (a dust speck and a corner outside the aperture).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vell/datafile/dataset.h"
#include "vell/platform/errors.h"
#include "vell/sdf/sdf_writer.h"

namespace {

constexpr int width = 24;
constexpr int height = 16;
constexpr double spacing = 2.5e-6;  // metres between points
constexpr double z_resolution = 1e-10;  // metres per count of the binary form

// Surface height in nanometres, or NaN for an invalid point.
double height_nm(int x, int y)
{
    if ((x == 7 && y == 5) || (x == 8 && y == 5) || (x == 7 && y == 6))
        return NAN;  // dust speck
    if (x + y < 2 || (x >= width - 2 && y >= height - 2))
        return NAN;  // corners outside the aperture
    double cx = (x - (width - 1) / 2.0) * spacing;
    double cy = (y - (height - 1) / 2.0) * spacing;
    double r2 = cx * cx + cy * cy;
    double dimple = -120.0 * std::exp(-r2 / (2.0 * 12e-6 * 12e-6));
    double tilt = 1.5 * x - 0.75 * y;
    return dimple + tilt + 4.0 * std::sin(x * 0.9) * std::cos(y * 0.7);
}

int write_ascii(const std::string& path)
{
    dat_header header;
    dat_header_create(&header);
    header.swinfo.type = 1;
    std::memcpy(header.swinfo.date, "Mar 02 11:20:00 1995          ", 30);
    header.swinfo.vers = {3, 2, 1};
    header.time_stamp = 794143200;
    std::snprintf(header.comment, sizeof header.comment, "example surface: dimple on a tilted plane");
    header.intf_scale_factor = 0.5f;
    header.wavelength_in = 6.328e-7f;
    header.num_aperture = 0.3f;
    header.obliquity_factor = 1.0f;
    header.magnification = 10.0f;
    header.lateral_res = static_cast<float>(spacing);
    header.phase_res = 1;
    header.camera_width = 640;
    header.camera_height = 480;
    header.sys_serial2 = 123456;
    header.sys_serial = static_cast<int16_t>(123456 & 0xFFFF);
    std::snprintf(header.obj_name, sizeof header.obj_name, "10x");
    std::snprintf(header.part_name, sizeof header.part_name, "example part");
    std::snprintf(header.part_ser_num, sizeof header.part_ser_num, "EX-0001");
    header.pixel_width = header.pixel_height = static_cast<float>(spacing);
    header.coords_state = 1;
    header.coords = {1.25f, -0.5f, 3.0f, 0.0f, 0.0f, 0.0f};

    // Phase counts of the header's unit (S x O x W / R).
    double unit = double(header.intf_scale_factor) * header.obliquity_factor * header.wavelength_in / 32768.0;
    std::vector<int32_t> values(std::size_t{width} * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double h = height_nm(x, y);
            values[std::size_t(y) * width + x] =
                std::isnan(h) ? DAT_INVALID_PHASE : static_cast<int32_t>(std::lround(h * 1e-9 / unit));
        }
    phase_map phase{};
    phase.width = width;
    phase.height = height;
    phase.count = static_cast<uint32_t>(values.size());
    phase.data = values.data();
    header.cn_width = width;
    header.cn_height = height;
    header.cn_n_bytes = width * height * 4;
    return sdf_write_file(path.c_str(), &header, nullptr, &phase);
}

void put_le(std::string& out, const void* value, std::size_t size)
{
    // The host is little-endian or big-endian; the file is little-endian.
    unsigned char bytes[8];
    std::memcpy(bytes, value, size);
    uint16_t probe = 1;
    bool little = *reinterpret_cast<unsigned char*>(&probe) == 1;
    for (std::size_t i = 0; i < size; ++i)
        out.push_back(static_cast<char>(bytes[little ? i : size - 1 - i]));
}

void put_text(std::string& out, const char* text, std::size_t size)
{
    std::string field(text);
    field.resize(size, '\0');
    out += field;
}

int write_binary(const std::string& path)
{
    std::string out;
    out.append("bBCR-1.0", 8);
    put_text(out, "VellExampl", 10);
    put_text(out, "020319951120", 12);
    put_text(out, "020319951120", 12);
    uint16_t points = width, profiles = height;
    put_le(out, &points, 2);
    put_le(out, &profiles, 2);
    double xscale = spacing, yscale = spacing, zscale = 1e-9, zres = z_resolution;
    put_le(out, &xscale, 8);
    put_le(out, &yscale, 8);
    put_le(out, &zscale, 8);
    put_le(out, &zres, 8);
    out.push_back(0);  // Compression
    out.push_back(3);  // DataType FLOAT: heights in nanometres (Zscale 1e-9)
    out.push_back(0);  // CheckType
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double h = height_nm(x, y);
            float v = std::isnan(h) ? 3.4028235e38f : static_cast<float>(h);
            put_le(out, &v, 4);
        }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return ERR_CANT_CREATE_FILE;
    bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    ok = std::fclose(f) == 0 && ok;
    return ok ? NO_ERROR : ERR_CANT_WRITE_FILE;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_examples DIR\n");
        return 1;
    }
    std::string dir = argv[1];
    int32_t rc = write_ascii(dir + "/surface_ascii.sdf");
    if (rc == NO_ERROR)
        rc = write_binary(dir + "/surface_binary.sdf");
    if (rc != NO_ERROR) {
        std::fprintf(stderr, "make_examples: %s\n", u_err_name(rc));
        return 1;
    }
    return 0;
}
