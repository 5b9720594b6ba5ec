// The datinfo command, run as a separate program on the bundled examples converted by
// sdf_to_dat and on broken files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "vell/datafile/datafile.h"
#include "tests/datinfo/png_decode.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

#ifndef DATINFO_PATH
#error "DATINFO_PATH must name the built datinfo program"
#endif

namespace {

using vptest::program_result;
using vptest::shell_quoted;

class Datinfo : public ::testing::Test {
protected:
    program_result run(const std::vector<std::string>& args)
    {
        std::string line;
        for (const std::string& a : args)
            line += (line.empty() ? "" : " ") + shell_quoted(a);
        return vptest::run_program(DATINFO_PATH, line, dir_.path());
    }
    // The example converted into the temporary directory; its path.
    std::string converted(const std::string& name)
    {
        std::string dat = dir_.str(name + ".dat");
        program_result r = vptest::run_program(
            SDF_TO_DAT_PATH, shell_quoted(std::string(VP_EXAMPLES_DIR) + "/" + name + ".sdf") + " " + shell_quoted(dat),
            dir_.path());
        EXPECT_EQ(r.status, 0) << r.err;
        return dat;
    }
    vptest::TempDir dir_;
};

std::map<std::string, std::string> fields(const std::string& out)
{
    std::map<std::string, std::string> m;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t colon = line.find(": ");
        if (colon != std::string::npos)
            m[line.substr(0, colon)] = line.substr(colon + 2);
        else if (line.back() == ':')
            m[line.substr(0, line.size() - 1)] = "";
    }
    return m;
}

// The phase map and unit of a data file, read straight from its bytes (format 1 or 2 header).
struct raw_surface {
    int width = 0, height = 0;
    double unit_nm = 0;
    std::vector<int32_t> values;
};

raw_surface raw_of(const std::string& bytes)
{
    auto u32 = [&](std::size_t at) { return pngtest::be32(bytes, at); };
    auto f32 = [&](std::size_t at) {
        uint32_t u = u32(at);
        float f;
        std::memcpy(&f, &u, 4);
        return double(f);
    };
    raw_surface s;
    s.width = static_cast<int>(u32(66) & 0xFFFF);
    s.height = static_cast<int>(u32(68) & 0xFFFF);
    int phase_res = static_cast<int16_t>(u32(216) & 0xFFFF);
    s.unit_nm = f32(164) * f32(168) * f32(176) / (phase_res == 0 ? 4096 : 32768) * 1e9;
    for (int i = 0; i < s.width * s.height; ++i)
        s.values.push_back(static_cast<int32_t>(u32(834 + 4 * std::size_t(i))));
    return s;
}

TEST_F(Datinfo, ExamplesShowTheirNumbersAndPicture)
{
    for (const char* name : {"surface_ascii", "surface_binary"}) {
        SCOPED_TRACE(name);
        std::string dat = converted(name);
        std::string png = dir_.str(std::string(name) + ".png");
        program_result r = run({"--png", png, dat});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        auto f = fields(r.out);
        EXPECT_EQ(f["file"], dat);
        EXPECT_EQ(f["format"], "1");
        EXPECT_EQ(f["header_size"], "834");
        EXPECT_EQ(f["software_date"], "Mar 02 11:20:00 1995");
        EXPECT_EQ(f["phase_map"], "24 x 16");
        EXPECT_EQ(f["intensity_map"], "none");
        EXPECT_EQ(f["lateral_res_m"], "2.5e-06");
        EXPECT_EQ(f["png_size"], "24 x 16");
        EXPECT_EQ(f["png_points_per_pixel"], "1 x 1");
        if (std::string(name) == "surface_ascii") {
            EXPECT_EQ(f["comment"], "example surface: dimple on a tilted plane");
            EXPECT_EQ(f["part_name"], "example part");
            EXPECT_EQ(f["object_name"], "10x");
            EXPECT_EQ(f["camera"], "640 x 480");
            EXPECT_EQ(f["software_version"], "3.2.1");
        }

        // The numbers against a computation over the file's own bytes.
        raw_surface s = raw_of(vptest::read_file(dat));
        ASSERT_EQ(s.width * s.height, 384);
        std::vector<double> nm;
        for (int32_t v : s.values)
            if (v < 0x7FFFFFF8)
                nm.push_back(v * s.unit_nm);
        double lo = *std::min_element(nm.begin(), nm.end()), hi = *std::max_element(nm.begin(), nm.end());
        double mean = 0, sq = 0;
        for (double v : nm)
            mean += v / nm.size();
        for (double v : nm)
            sq += (v - mean) * (v - mean);
        EXPECT_EQ(f["points"], "384");
        EXPECT_EQ(f["valid_points"], std::to_string(nm.size()));
        EXPECT_EQ(nm.size(), 374u);  // a dust speck of 3 points, 7 corner points outside the aperture
        EXPECT_EQ(f["valid_pct"], "97.40");
        EXPECT_NEAR(std::stod(f["phase_unit_nm"]), s.unit_nm, 1e-6 * s.unit_nm);
        EXPECT_NEAR(std::stod(f["min_nm"]), lo, 6e-5);
        EXPECT_NEAR(std::stod(f["max_nm"]), hi, 6e-5);
        EXPECT_NEAR(std::stod(f["pv_nm"]), hi - lo, 6e-5);
        EXPECT_NEAR(std::stod(f["rms_nm"]), std::sqrt(sq / nm.size()), 6e-5);
        EXPECT_LT(lo, -100);  // the dimple
        EXPECT_GT(hi, 30);    // the high corner of the tilt

        // The picture: one pixel per point, grey where the surface has no point, and the
        // scale's lightness (its green) rising with the height.
        pngtest::image img = pngtest::decode(vptest::read_file(png));
        ASSERT_EQ(img.error, "");
        ASSERT_EQ(img.width, 24u);
        ASSERT_EQ(img.height, 16u);
        const std::vector<int> grey = {128, 128, 128};
        for (auto [x, y] : {std::pair{0, 0}, {1, 0}, {0, 1}, {7, 5}, {8, 5}, {7, 6}, {23, 15}, {22, 14}})
            EXPECT_EQ(img.at(x, y), grey) << x << "," << y;
        int lowest = -1, highest = -1;
        for (int i = 0; i < 384; ++i) {
            if (s.values[i] >= 0x7FFFFFF8)
                continue;
            EXPECT_NE(img.at(i % 24, i / 24), grey) << i;
            if (lowest < 0 || s.values[i] < s.values[lowest])
                lowest = i;
            if (highest < 0 || s.values[i] > s.values[highest])
                highest = i;
            for (int j = 0; j < i; ++j) {
                if (s.values[j] < 0x7FFFFFF8 && s.values[j] < s.values[i]) {
                    ASSERT_LE(img.at(j % 24, j / 24)[1], img.at(i % 24, i / 24)[1]) << j << " below " << i;
                }
            }
        }
        EXPECT_EQ(img.at(lowest % 24, lowest / 24), (std::vector<int>{0x44, 0x01, 0x54}));
        EXPECT_EQ(img.at(highest % 24, highest / 24), (std::vector<int>{0xFD, 0xE7, 0x25}));
        EXPECT_NEAR(lowest % 24, 11.5, 2);  // the dimple's bottom near the middle
        EXPECT_NEAR(lowest / 24, 7.5, 2);
    }
}

TEST_F(Datinfo, BrokenFilesFailWithAMessage)
{
    std::string whole = vptest::read_file(converted("surface_ascii"));
    struct row {
        std::string bytes;
        std::string cause;
    };
    const row rows[] = {
        {vptest::read_file(std::string(VP_EXAMPLES_DIR) + "/surface_ascii.sdf"),
         "dat_read_file: not a Vell data file (magic number 0x61424352): ERR_CORRUPT_DATA_FILE\n"},
        {whole.substr(0, 900),
         "dat_read_file: the file is cut short: its header and blocks need 2370 bytes, it holds 900: ERR_PREMATURE_EOF\n"},
        {whole.substr(0, 2), "dat_read_file: 2 bytes are too few for a data file: ERR_PREMATURE_EOF\n"},
        {whole + "!", "dat_read_file: 1 bytes follow the last block: ERR_CORRUPT_DATA_FILE\n"},
    };
    std::string bad = dir_.str("bad.dat");
    std::string png = dir_.str("bad.png");
    for (const row& t : rows) {
        vptest::write_file(bad, t.bytes);
        program_result r = run({bad, "--png", png});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        std::string name = t.cause.substr(t.cause.rfind(' ') + 1);
        EXPECT_EQ(r.err, t.cause + "datinfo: cannot read \"" + bad + "\": " + name);
        EXPECT_FALSE(std::filesystem::exists(png));
    }
    program_result r = run({dir_.str("missing.dat")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ERR_CANT_OPEN_FILE"), std::string::npos) << r.err;
}

TEST_F(Datinfo, APictureThatCannotBeWrittenFailsAfterTheNumbers)
{
    std::string dat = converted("surface_binary");
    std::string png = dir_.str("no-such-folder/out.png");
    program_result r = run({"--png", png, dat});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(fields(r.out)["valid_points"], "374");
    EXPECT_EQ(fields(r.out).count("png_file"), 0u);
    EXPECT_EQ(r.err, "datinfo: cannot write \"" + png + "\": ERR_CANT_CREATE_FILE\n");
}

TEST_F(Datinfo, APictureNamedLikeTheDataFileIsRefused)
{
    std::string dat = converted("surface_binary");
    std::string before = vptest::read_file(dat);
    program_result r = run({"--png", dat, dat});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "datinfo: \"" + dat + "\" is the data file itself; the picture is not written\n");
    EXPECT_EQ(vptest::read_file(dat), before);
}

TEST_F(Datinfo, IntensityMapsAndLargeMaps)
{
    // Intensity in 2 frames and a phase map wider than a picture may be.
    dat_header h;
    dat_header_create(&h);
    std::vector<uint16_t> iv(4 * 3 * 2, 9);
    intensity_map in{static_cast<uint32_t>(iv.size()), 1, 2, 4, 3, 2, 0, iv.data()};
    std::vector<int32_t> pv(1500 * 3);
    for (std::size_t i = 0; i < pv.size(); ++i)
        pv[i] = static_cast<int32_t>(i % 1500) - 700;
    pv[0] = DAT_INVALID_PHASE;
    phase_map cn{static_cast<uint32_t>(pv.size()), 0, 0, 1500, 3, pv.data()};
    h.in_n_bytes = 4 * 3 * 2 * 2;
    h.cn_width = 1500;
    h.cn_height = 3;
    h.cn_n_bytes = 1500 * 3 * 4;
    h.intf_scale_factor = 1;
    h.wavelength_in = 4096e-9f;
    h.obliquity_factor = 1;  // phase_res 0: one count is one nanometre
    std::string dat = dir_.str("big.dat");
    ASSERT_EQ(dat_write_file(dat.c_str(), &h, &in, &cn), 0);

    std::string png = dir_.str("big.png");
    program_result r = run({dat, "--png", png});
    ASSERT_EQ(r.status, 0) << r.err;
    auto f = fields(r.out);
    EXPECT_EQ(f["intensity_map"], "4 x 3, 2 frames");
    EXPECT_EQ(f["intensity_origin"], "1, 2");
    EXPECT_EQ(f["phase_map"], "1500 x 3");
    EXPECT_EQ(f["phase_unit_nm"], "1");
    EXPECT_EQ(f["valid_points"], "4499");
    EXPECT_EQ(f["min_nm"], "-700.0000");
    EXPECT_EQ(f["max_nm"], "799.0000");
    EXPECT_EQ(f["png_size"], "750 x 2");
    EXPECT_EQ(f["png_points_per_pixel"], "2 x 2");
    pngtest::image img = pngtest::decode(vptest::read_file(png));
    ASSERT_EQ(img.error, "");
    EXPECT_EQ(img.width, 750u);
    EXPECT_EQ(img.height, 2u);
    EXPECT_EQ(img.at(0, 1), (std::vector<int>{0x44, 0x01, 0x54}));    // -700 and -699: the bottom
    EXPECT_EQ(img.at(749, 0), (std::vector<int>{0xFD, 0xE7, 0x25}));  // 798 and 799: the top

    // Intensity alone: no heights to show or draw.
    h.cn_width = h.cn_height = 0;
    h.cn_n_bytes = 0;
    ASSERT_EQ(dat_write_file(dat.c_str(), &h, &in, nullptr), 0);
    r = run({dat, "--png", png});
    EXPECT_EQ(r.status, 1);
    f = fields(r.out);
    EXPECT_EQ(f["phase_map"], "none");
    EXPECT_EQ(f["intensity_map"], "4 x 3, 2 frames");
    EXPECT_EQ(f.count("valid_points"), 0u);
    EXPECT_EQ(r.err, "datinfo: \"" + dat + "\" has no phase map to draw\n");
}

TEST_F(Datinfo, BadCommandLinesPrintTheUsage)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--png"}, {"--png", "out.png"}, {"-x", "a.dat"}, {"a.dat", "b.dat"}, {"--png", "", "a.dat"},
             {"--png", "a.png", "--png", "b.png", "a.dat"}, {""}}) {
        program_result r = run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("usage: datinfo [--png OUT] FILE\n", 0), 0u) << r.err;
    }
    program_result r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: datinfo [--png OUT] FILE\n", 0), 0u) << r.out;
    r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("datinfo ", 0), 0u) << r.out;
}

}  // namespace
