// Converted files byte for byte. The expected bytes are built here from the file layout and the
// conversion rules: header defaults of the reader, trailer values, the phase unit and rounding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/convert/run_command.h"
#include "tests/support/test_support.h"

namespace {

using convtest::run;
using convtest::run_result;
using vptest::read_file;
using vptest::TempDir;
using vptest::write_file;

constexpr int32_t invalid = 0x7FFFFFF8;

// The expected data file: a zeroed format 1 or 2 header with fields put at their file offsets.
struct expected_file {
    std::string bytes = std::string(834, '\0');

    void be16(std::size_t off, int v)
    {
        bytes[off] = static_cast<char>((v >> 8) & 0xFF);
        bytes[off + 1] = static_cast<char>(v & 0xFF);
    }
    void be32(std::size_t off, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes[off + i] = static_cast<char>(v >> (24 - 8 * i));
    }
    void le32(std::size_t off, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes[off + i] = static_cast<char>(v >> (8 * i));
    }
    void f32(std::size_t off, float v)
    {
        uint32_t u;
        std::memcpy(&u, &v, 4);
        be32(off, u);
    }
    void text(std::size_t off, const std::string& s) { bytes.replace(off, s.size(), s); }
    void phase(int32_t v)
    {
        bytes.append(4, '\0');
        be32(bytes.size() - 4, static_cast<uint32_t>(v));
    }
    // What the reader sets before the trailer, for a grid of w x h points.
    void reader_defaults(int w, int h, double xscale, double zresolution, const std::string& date30)
    {
        be32(0, 0x881B036F);
        be16(4, 1);
        be32(6, 834);
        text(12, date30);
        be16(68, w);
        be16(70, h);
        be32(72, static_cast<uint32_t>(w * h * 4));
        f32(164, 0.5f);                                        // intf_scale_factor
        f32(168, static_cast<float>(8192.0 * zresolution));    // wavelength_in
        f32(176, 1.0f);                                        // obliquity_factor
        f32(184, static_cast<float>(xscale));                  // lateral_res
        f32(486, static_cast<float>(xscale / w));              // pixel_width
        f32(490, static_cast<float>(xscale / w));              // pixel_height
    }
};

// The ASCII form's rescale factor: u from S x O x W in single precision, / R in double,
// rounded to ten digits as "%12.10g" prints it; f = Zscale / u.
double ascii_factor(float s, float o, float w, int phase_res, double zscale)
{
    float product = s * o;
    product = product * w;
    double u = double(product) / (phase_res == 0 ? 4096.0 : 32768.0);
    char text[40];
    std::snprintf(text, sizeof text, "%12.10g", u);
    return zscale / std::strtod(text, nullptr);
}

int32_t ascii_round(int32_t raw, int32_t offset, double f)
{
    if (raw == invalid)
        return invalid;
    double p = double(int32_t(raw + offset)) * f;
    return static_cast<int32_t>(p >= 0 ? p + 0.5 : p - 0.5);
}

class ConvertedFile : public ::testing::Test {
protected:
    std::string convert(const std::string& sdf_bytes)
    {
        std::string in = dir.str("in.sdf");
        std::string out = dir.str("out.dat");
        write_file(in, sdf_bytes);
        run_result r = run({in, out}, scratch.path());
        EXPECT_EQ(r.status, 0) << r.err << r.out;
        EXPECT_EQ(r.err, "Converting \"" + in + "\" to \"" + out + "\"\nConversion from \"" + in + "\" to \"" +
                             out + "\" successful\n");
        return read_file(out);
    }

    TempDir dir;
    TempDir scratch;
};

const std::string ascii_head =
    "aBCR-1.0\n"
    "ManufacID = VellTest\n"
    "CreateDate = 311219992359\n"
    "ModDate = 311219992359\n"
    "NumPoints = 4\n"
    "NumProfiles = 3\n"
    "Xscale = 2e-06\n"
    "Yscale = 2e-06\n"
    "Zscale = 3e-09\n"
    "Zresolution = 1e-09\n"
    "Compression = 0\n"
    "DataType = ULONGINT\n"
    "CheckType = 0\n"
    "*\n"
    "0 10 20 30\n"
    "4294967295 7 8 9 ; a comment\n"
    "100 200 300 1000\n"
    "*\n";
const std::vector<int32_t> ascii_raw = {0, 10, 20, 30, invalid, 7, 8, 9, 100, 200, 300, 1000};

TEST_F(ConvertedFile, AsciiFormWithTrailer)
{
    std::string got = convert(ascii_head +
                              "Data Offset = -5\n"
                              "intf_scale_factor=         0.5\n"
                              "obliquity_factor=1\n"
                              "wavelength_in=6.328e-07\n"
                              "num_aperture = 0.3\n"
                              "lateral_res=2e-06\n"
                              "camera_width=640\n"
                              "camera_height = 480\n"
                              "phase_res=1\n"
                              "time_stamp=1\n"
                              "coords_state=1\n"
                              "coords.x_pos=1.5\n"
                              "comment=\"converted\"\n"
                              "sys_serial2=70000\n"
                              "obj_name=\"10x\"\n"
                              "*\n");

    expected_file want;
    want.reader_defaults(4, 3, 2e-6, 1e-9, "Dec 31 23:59:00 1999          ");
    want.be32(76, 1);                   // time_stamp
    want.text(80, "converted");         // comment
    want.f32(168, 6.328e-07f);          // wavelength_in from the trailer
    want.f32(172, 0.3f);                // num_aperture
    want.be16(218, 1);                  // phase_res
    want.be16(234, 640);
    want.be16(236, 480);
    want.be16(242, 70000 & 0xFFFF);     // sys_serial: low 16 bits once a later line has passed
    want.text(246, "10x");              // obj_name
    want.le32(502, 1);                  // coords_state, little-endian
    float x_pos = 1.5f;
    uint32_t x_bits;
    std::memcpy(&x_bits, &x_pos, 4);
    want.le32(506, x_bits);             // coords.x_pos, little-endian
    want.le32(798, 70000);              // sys_serial2, little-endian
    double f = ascii_factor(0.5f, 1.0f, 6.328e-07f, 1, 3e-9);
    for (int32_t raw : ascii_raw)
        want.phase(ascii_round(raw, -5, f));

    ASSERT_EQ(got.size(), 834u + 48u);
    EXPECT_EQ(got.substr(0, 834), want.bytes.substr(0, 834));
    EXPECT_EQ(got.substr(834), want.bytes.substr(834));
    // The first point (0 + offset -5) is negative and rounds away from zero.
    EXPECT_LT(ascii_round(0, -5, f), -1);
}

TEST_F(ConvertedFile, AsciiFormatTwo)
{
    std::string got = convert(ascii_head +
                              "magic_number=2283471728\n"
                              "header_format=2\n"
                              "intf_scale_factor=0.5\n"
                              "obliquity_factor=1.25\n"
                              "wavelength_in=5.5e-07\n"
                              "num_aperture=0.1\n"
                              "lateral_res=2e-06\n"
                              "camera_width=0\n"
                              "camera_height=0\n"
                              "phase_res=2\n"
                              "*\n");

    expected_file want;
    want.reader_defaults(4, 3, 2e-6, 1e-9, "Dec 31 23:59:00 1999          ");
    want.be32(0, 0x881B0370);
    want.be16(4, 2);
    want.f32(168, 5.5e-07f);
    want.f32(172, 0.1f);
    want.f32(176, 1.25f);
    want.be16(218, 2);
    double f = ascii_factor(0.5f, 1.25f, 5.5e-07f, 2, 3e-9);
    for (int32_t raw : ascii_raw)
        want.phase(ascii_round(raw, 0, f));
    ASSERT_EQ(got.size(), 834u + 48u);
    EXPECT_EQ(got.substr(0, 834), want.bytes.substr(0, 834));
    EXPECT_EQ(got.substr(834), want.bytes.substr(834));
}

void put_le(std::string& out, const void* v, std::size_t n)
{
    unsigned char b[8];
    std::memcpy(b, v, n);
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(static_cast<char>(b[i]));  // the test hosts are little-endian
}

// The binary form: 3 x 2 INTEGER points, Zresolution 0 (replaced by 7.724609375e-11), one
// invalid point. Also the layout example of a 3 x 2 phase-only file: 834 + 24 bytes.
TEST_F(ConvertedFile, BinaryFormThreeByTwo)
{
    std::string sdf = "bBCR-1.0";
    sdf += std::string("VellTest\0\0", 10);
    sdf += "020319951120";
    sdf += "020319951120";
    uint16_t points = 3, profiles = 2;
    double xscale = 1e-6, yscale = 1e-6, zscale = 2e-10, zres = 0.0;
    put_le(sdf, &points, 2);
    put_le(sdf, &profiles, 2);
    put_le(sdf, &xscale, 8);
    put_le(sdf, &yscale, 8);
    put_le(sdf, &zscale, 8);
    put_le(sdf, &zres, 8);
    sdf += std::string("\0\x05\0", 3);  // Compression, DataType INTEGER, CheckType
    ASSERT_EQ(sdf.size(), 81u);
    const std::vector<int16_t> values = {100, -27, 32767, 0, 5000, -32768};
    for (int16_t v : values)
        put_le(sdf, &v, 2);

    std::string got = convert(sdf);

    const double zresolution = 7.724609375e-11;
    expected_file want;
    want.reader_defaults(3, 2, 1e-6, zresolution, "Mar 02 11:20:00 1995          ");
    float w = static_cast<float>(8192.0 * zresolution);
    double u = double(0.5f * 1.0f) * double(w) / 4096.0;
    for (int16_t v : values)
        want.phase(v == 32767 ? invalid : static_cast<int32_t>(double(v) * zscale / u + 0.5));

    ASSERT_EQ(got.size(), 834u + 24u);
    EXPECT_EQ(got.substr(0, 4), std::string("\x88\x1B\x03\x6F", 4));
    EXPECT_EQ(got.substr(60, 4), std::string(4, '\0'));                 // in_n_bytes
    EXPECT_EQ(got.substr(68, 8), std::string("\x00\x03\x00\x02\x00\x00\x00\x18", 8));
    EXPECT_EQ(got.substr(834 + 8, 4), std::string("\x7F\xFF\xFF\xF8", 4));
    EXPECT_EQ(got.substr(0, 834), want.bytes.substr(0, 834));
    EXPECT_EQ(got.substr(834), want.bytes.substr(834));
    // -27 units truncate toward zero after adding 0.5.
    EXPECT_EQ(static_cast<int32_t>(double(-27) * zscale / u + 0.5), -69);
}

}  // namespace
