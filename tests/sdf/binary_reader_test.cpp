// The binary form of SDF files: the 81-byte header, binary values of every type, invalid
// points and the scaling into phase counts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "vell/datafile/dataset.h"
#include "vell/platform/errors.h"
#include "vell/sdf/sdf.h"
#include "tests/sdf/reader_common.h"
#include "tests/sdf/sdf_files.h"

namespace {

using namespace sdftest;
constexpr int32_t INV = DAT_INVALID_PHASE;

std::string int16s(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        put_le(s, static_cast<uint16_t>(v), 2);
    return s;
}

TEST(SdfBinaryReader, ReadsHeaderAndDataIntoTheDataset)
{
    dataset d;
    sdf_header sh;
    binary_head head;
    auto r = read_bytes(head.bytes() + int16s({0, 1, 2, 3, 300, 32766}), d, &sh);
    ASSERT_EQ(r.rc, NO_ERROR);
    EXPECT_EQ(r.out, "");
    // Zscale is one unit; v + 0.5 truncated.
    EXPECT_EQ(d.values(), (std::vector<int32_t>{0, 1, 2, 3, 300, 32766}));
    EXPECT_EQ(std::string(sh.banner, 8), "bBCR-1.0");
    EXPECT_STREQ(sh.ManufacID, "TN9.5.2");
    EXPECT_STREQ(sh.CreateDate, "020319951120");
    EXPECT_STREQ(sh.ModDate, "010120001200");
    EXPECT_EQ(sh.NumPoints, 3u);
    EXPECT_EQ(sh.NumProfiles, 2u);
    EXPECT_EQ(sh.DataType, SDF_INTEGER);

    const dat_header& h = d.header;
    EXPECT_EQ(h.magic_number, DAT_MAGIC_FORMAT1);
    EXPECT_EQ(h.header_size, 834);
    EXPECT_EQ(h.intf_scale_factor, 0.5f);
    EXPECT_EQ(h.obliquity_factor, 1.0f);
    EXPECT_EQ(h.phase_res, 0);
    EXPECT_EQ(h.wavelength_in, 0.5f);
    EXPECT_EQ(h.lateral_res, 1e-6f);
    EXPECT_EQ(h.pixel_width, static_cast<float>(1e-6 / 3));
    EXPECT_EQ(h.pixel_height, h.pixel_width);
    EXPECT_EQ(h.camera_width, 0);
    EXPECT_EQ(h.cn_width, 3);
    EXPECT_EQ(h.cn_height, 2);
    EXPECT_EQ(h.cn_n_bytes, 24);
    EXPECT_EQ(h.num_aperture, 0.0f);
    EXPECT_EQ(std::string(h.swinfo.date, 30), "Mar 02 11:20:00 1995" + std::string(10, ' '));
    EXPECT_EQ(d.phase.width, 3);
    EXPECT_EQ(d.phase.height, 2);
    EXPECT_EQ(d.phase.org_x, 0);
    EXPECT_EQ(d.intensity.data, nullptr);
}

TEST(SdfBinaryReader, ScalingTruncatesAfterAddingAHalf)
{
    // A tenth of a unit per count: -27 is -2.7 units, -2.2 after adding 0.5, -2 truncated.
    dataset d;
    binary_head head;
    head.zscale = 0x1p-14 / 10;
    ASSERT_EQ(read_bytes(head.bytes() + int16s({-27, 27, -22, 22, 4, -4}), d).rc, NO_ERROR);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{-2, 3, -1, 2, 0, 0}));
    // With one unit per count, a negative count gains one: -3 + 0.5 truncates to -2.
    head.zscale = 0x1p-14;
    ASSERT_EQ(read_bytes(head.bytes() + int16s({-3, -1, 0, 1, -32768, 5}), d).rc, NO_ERROR);
    EXPECT_EQ(d.values(), (std::vector<int32_t>{-2, 0, 0, 1, -32767, 5}));
}

TEST(SdfBinaryReader, MissingZresolutionIsReplaced)
{
    for (double z : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        dataset d;
        sdf_header sh;
        binary_head head;
        head.zres = z;
        head.zscale = 7.724609375e-11;
        ASSERT_EQ(read_bytes(head.bytes() + int16s({1, 2, 3, 4, 5, 6}), d, &sh).rc, NO_ERROR) << z;
        EXPECT_EQ(sh.Zresolution, 7.724609375e-11);
        EXPECT_EQ(d.header.wavelength_in, static_cast<float>(8192 * 7.724609375e-11));
        EXPECT_EQ(d.values(), (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
    }
}

struct typed {
    uint8_t type;
    std::string data;
    std::vector<int32_t> values;
};

std::string bytes_of(uint8_t type, std::initializer_list<double> values)
{
    std::string s;
    for (double v : values) {
        switch (type) {
        case SDF_UCHAR: s.push_back(static_cast<char>(static_cast<uint8_t>(v))); break;
        case SDF_UINTEGER: put_le(s, static_cast<uint16_t>(v), 2); break;
        case SDF_ULONGINT: put_le(s, static_cast<uint32_t>(v), 4); break;
        case SDF_FLOAT: put_f32(s, static_cast<float>(v)); break;
        case SDF_CHAR: s.push_back(static_cast<char>(static_cast<int8_t>(v))); break;
        case SDF_INTEGER: put_le(s, static_cast<uint16_t>(static_cast<int16_t>(v)), 2); break;
        case SDF_LONGINT: put_le(s, static_cast<uint32_t>(static_cast<int32_t>(v)), 4); break;
        case SDF_DOUBLE: put_f64(s, v); break;
        }
    }
    return s;
}

TEST(SdfBinaryReader, EveryDataTypeWithItsInvalidPoint)
{
    const double fmax = std::numeric_limits<float>::max();
    const double dmax = std::numeric_limits<double>::max();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const typed cases[] = {
        {SDF_UCHAR, bytes_of(SDF_UCHAR, {0, 1, 254, 255, 128, 7}), {0, 1, 254, INV, 128, 7}},
        {SDF_UINTEGER, bytes_of(SDF_UINTEGER, {0, 65534, 65535, 1, 2, 40000}), {0, 65534, INV, 1, 2, 40000}},
        {SDF_ULONGINT, bytes_of(SDF_ULONGINT, {0, 4294967295.0, 2147483639, 1, 2, 3}), {0, INV, 2147483639, 1, 2, 3}},
        {SDF_FLOAT, bytes_of(SDF_FLOAT, {1.25, fmax, nan, -0.75, 2.5, 1e6}), {1, INV, INV, 0, 3, 1000000}},
        {SDF_CHAR, bytes_of(SDF_CHAR, {-128, 127, 126, 0, 1, 2}), {-127, INV, 126, 0, 1, 2}},
        {SDF_INTEGER, bytes_of(SDF_INTEGER, {-32768, 32767, 32766, 0, 1, 2}), {-32767, INV, 32766, 0, 1, 2}},
        {SDF_LONGINT, bytes_of(SDF_LONGINT, {-2147483647, 2147483647, 2147483639, 0, 1, 2}),
         {-2147483646, INV, 2147483639, 0, 1, 2}},
        {SDF_DOUBLE, bytes_of(SDF_DOUBLE, {dmax, nan, -1.75, 1.4999, 1e-300, 123456.5}), {INV, INV, -1, 1, 0, 123457}},
    };
    for (const auto& c : cases) {
        dataset d;
        binary_head head;
        head.type = c.type;
        auto r = read_bytes(head.bytes() + c.data, d);
        ASSERT_EQ(r.rc, NO_ERROR) << int(c.type);
        EXPECT_EQ(d.values(), c.values) << int(c.type);
    }
}

TEST(SdfBinaryReader, ScaledValuesThatDoNotFitTheMap)
{
    const double fmax = std::numeric_limits<float>::max();
    const std::pair<uint8_t, std::string> cases[] = {
        {SDF_LONGINT, bytes_of(SDF_LONGINT, {2147483640, 0, 0, 0, 0, 0})},  // would read as invalid
        {SDF_ULONGINT, bytes_of(SDF_ULONGINT, {4294967294.0, 0, 0, 0, 0, 0})},
        {SDF_FLOAT, bytes_of(SDF_FLOAT, {-fmax, 0, 0, 0, 0, 0})},
        {SDF_FLOAT, bytes_of(SDF_FLOAT, {std::numeric_limits<double>::infinity(), 0, 0, 0, 0, 0})},
        {SDF_DOUBLE, bytes_of(SDF_DOUBLE, {-2147483649.6, 0, 0, 0, 0, 0})},
        {SDF_DOUBLE, bytes_of(SDF_DOUBLE, {1e300, 0, 0, 0, 0, 0})},
    };
    for (const auto& [type, data] : cases) {
        dataset d;
        binary_head head;
        head.type = type;
        EXPECT_EQ(read_bytes(head.bytes() + data, d).rc, ERR_FP_OVERFLOW) << int(type);
        EXPECT_EQ(d.phase.data, nullptr);
    }
    // The extremes that still fit.
    dataset d;
    binary_head head;
    head.type = SDF_DOUBLE;
    ASSERT_EQ(read_bytes(head.bytes() + bytes_of(SDF_DOUBLE, {2147483639.4, -2147483648.4, 0, 0, 0, 0}), d).rc,
              NO_ERROR);
    EXPECT_EQ(d.at(0), 2147483639);
    EXPECT_EQ(d.at(1), -2147483647);
    // A NaN Zscale makes every valid point unrepresentable, a map of invalid points is fine.
    head.type = SDF_INTEGER;
    head.zscale = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(read_bytes(head.bytes() + int16s({1, 2, 3, 4, 5, 6}), d).rc, ERR_FP_OVERFLOW);
    ASSERT_EQ(read_bytes(head.bytes() + int16s({32767, 32767, 32767, 32767, 32767, 32767}), d).rc, NO_ERROR);
    EXPECT_EQ(d.values(), std::vector<int32_t>(6, INV));
}

TEST(SdfBinaryReader, DataTypeBeyondTheTable)
{
    for (uint8_t t : {8, 9, 255}) {
        dataset d;
        binary_head head;
        head.type = t;
        EXPECT_EQ(read_bytes(head.bytes() + std::string(64, '\0'), d).rc, ERR_BAD_PARAM) << int(t);
        EXPECT_EQ(d.phase.data, nullptr);
    }
}

TEST(SdfBinaryReader, ShortFiles)
{
    dataset d;
    binary_head head;
    std::string full = head.bytes() + int16s({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(read_bytes("", d).rc, ERR_PREMATURE_EOF);
    EXPECT_EQ(read_bytes("bBCR", d).rc, ERR_PREMATURE_EOF);
    EXPECT_EQ(read_bytes(full.substr(0, 80), d).rc, ERR_PREMATURE_EOF);
    EXPECT_EQ(read_bytes(full.substr(0, 81), d).rc, ERR_PREMATURE_EOF);
    EXPECT_EQ(read_bytes(full.substr(0, full.size() - 1), d).rc, ERR_PREMATURE_EOF);
    EXPECT_EQ(d.phase.data, nullptr);
    EXPECT_EQ(read_bytes(full, d).rc, NO_ERROR);
    // Bytes after the data are not read.
    EXPECT_EQ(read_bytes(full + "trailing bytes", d).rc, NO_ERROR);

    // A header that announces far more points than the file holds fails before allocating.
    head.points = 30000;
    head.profiles = 30000;
    head.type = SDF_DOUBLE;
    alloc_watch watch;
    EXPECT_EQ(read_bytes(head.bytes() + std::string(1000, '\0'), d).rc, ERR_PREMATURE_EOF);
    EXPECT_LT(alloc_watch::largest(), std::size_t{16} << 20);
}

TEST(SdfBinaryReader, DimensionsAndScales)
{
    dataset d;
    binary_head head;
    head.points = 40000;
    alloc_watch watch;
    EXPECT_EQ(read_bytes(head.bytes() + std::string(64, '\0'), d).rc, ERR_DATASET_DIM_TOO_LARGE);
    EXPECT_LT(alloc_watch::largest(), std::size_t{16} << 20);
    head.points = 0;
    EXPECT_EQ(read_bytes(head.bytes(), d).rc, ERR_PARAM_OUT_OF_RANGE);
    head.points = 3;
    head.yscale = 2e-6;
    EXPECT_EQ(read_bytes(head.bytes() + int16s({1, 2, 3, 4, 5, 6}), d).rc, ERR_BAD_PARAM);
}

TEST(SdfBinaryReader, CreationDateOfTheBinaryHeader)
{
    dataset d;
    binary_head head;
    head.create = "311219992359";
    ASSERT_EQ(read_bytes(head.bytes() + int16s({1, 2, 3, 4, 5, 6}), d).rc, NO_ERROR);
    EXPECT_EQ(std::string(d.header.swinfo.date, 30), "Dec 31 23:59:00 1999" + std::string(10, ' '));
    head.create = "3112";  // padded with zero bytes: shorter than 12 characters
    ASSERT_EQ(read_bytes(head.bytes() + int16s({1, 2, 3, 4, 5, 6}), d).rc, NO_ERROR);
    EXPECT_EQ(std::string(d.header.swinfo.date, 30), std::string(30, ' '));
}

// Values spread over several of the reader's blocks, some straddling a block boundary.
TEST(SdfBinaryReader, LargeMapAcrossBufferBoundaries)
{
    for (uint8_t type : {SDF_DOUBLE, SDF_INTEGER, SDF_FLOAT}) {
        std::mt19937 rng(99);
        binary_head head;
        head.points = 1001;
        head.profiles = 700;
        head.type = type;
        std::string bytes = head.bytes();
        std::vector<int32_t> expect;
        for (int i = 0; i < 1001 * 700; ++i) {
            int v = static_cast<int>(rng() % 60000) - 30000;
            if (v == 32767)
                v = 0;
            switch (type) {
            case SDF_DOUBLE: put_f64(bytes, v); break;
            case SDF_FLOAT: put_f32(bytes, static_cast<float>(v)); break;
            default: put_le(bytes, static_cast<uint16_t>(static_cast<int16_t>(v)), 2); break;
            }
            expect.push_back(v < 0 ? v + 1 : v);  // v + 0.5 truncated toward zero
        }
        dataset d;
        ASSERT_EQ(read_bytes(bytes, d).rc, NO_ERROR);
        ASSERT_EQ(d.values(), expect) << int(type);
    }
}

}  // namespace
