// Regression tests of faults that fuzzing and the malformed corpus found in the reader.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "tests/hostile/hostile.h"

namespace {

using namespace hostile;

std::string ascii_with(const std::string& trailer_text) { return ascii_head{}.text() + "1 2 3\n4 5 6\n*\n" + trailer_text; }

std::string replace_line(std::string t, const std::string& key, const std::string& line)
{
    std::size_t at = t.find(key + "=");
    return t.replace(at, t.find('\n', at) - at, line);
}

// An infinite phase unit made every height 0 counts, and the read succeeded.
TEST(Findings, InfinitePhaseUnitFromTheTrailerIsRefused)
{
    for (const char* line : {"wavelength_in=inf", "wavelength_in=1e39", "intf_scale_factor=-inf",
                             "obliquity_factor=1e300"}) {
        std::string key(line, std::string(line).find('='));
        outcome o = read_sdf(ascii_with(replace_line(trailer(), key, line)));
        EXPECT_EQ(o.rc, ERR_FP_OVERFLOW) << line;
        EXPECT_FALSE(o.had_data) << line;
    }
    // Finite factors whose single-precision product overflows.
    std::string t = replace_line(replace_line(trailer(), "intf_scale_factor", "intf_scale_factor=1e30"),
                                 "wavelength_in", "wavelength_in=1e30");
    EXPECT_EQ(read_sdf(ascii_with(t)).rc, ERR_FP_OVERFLOW);
    // Large but finite: a unit, and heights that round to 0 honestly.
    t = replace_line(trailer(), "wavelength_in", "wavelength_in=1e30");
    outcome o = read_sdf(ascii_with(t));
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_EQ(o.values, std::vector<int32_t>(6, 0));
}

TEST(Findings, BinaryZresolutionBeyondSinglePrecisionIsRefused)
{
    for (double z : {std::numeric_limits<double>::infinity(), 1e300, 4.2e34}) {
        binary_head h;
        h.zres = z;  // wavelength_in = 8192 x Zresolution, infinite in single precision
        outcome o = read_sdf(h.bytes() + binary_values(SDF_INTEGER));
        EXPECT_EQ(o.rc, ERR_FP_OVERFLOW) << z;
        EXPECT_FALSE(o.had_data) << z;
    }
    binary_head h;
    h.zres = 4e34;  // 8192 x 4e34 still fits a single
    h.zscale = 1e35;
    outcome o = read_sdf(h.bytes() + binary_values(SDF_INTEGER));
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_TRUE(sane(o));
}

// Every read took a 1 MiB buffer, whatever the size of the file (see also Memory.*).
TEST(Findings, ReadBufferFitsASmallFile)
{
    alloc_watch watch;
    outcome o = read_sdf(ascii_file(SDF_LONGINT));
    ASSERT_EQ(o.rc, NO_ERROR);
    EXPECT_LT(watch.largest_new(), std::size_t{1} << 16);
}

}  // namespace
