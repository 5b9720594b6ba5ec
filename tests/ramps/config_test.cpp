// The ramp configuration file: the reader's messages, the writer's bytes, saving a ramp set and
// checking an entry against its ramp.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/ramps/ramp_config.h"
#include "vell/ramps/ramp_set.h"
#include "tests/support/test_support.h"

namespace {

const std::string heading =
    "# Tessaron Ramp Configuration File\n"
    "#\n"
    "# RT  = RampType: PMI, SWLI, BTW, or BTWX where X is a filter number\n"
    "# FN  = FileName: name of ramp data file or \"+\" if derived from previous\n"
    "# SL  = ScanLen: scan length in microns for SWLI or BTW ramps\n"
    "# CR  = CameraRate: frame rate in Hz\n"
    "# CI  = CameraInterlace: 1 if interlaced fields, otherwise 0\n"
    "# GS  = GrabSkip: (GrabSkip+1 specifies camera frame sampling)\n"
    "# FPF = FringesPerFrame: normal 0.125 or 0.25, subnyquist 0.75 or 1.25\n"
    "# RS  = RampSlope: nm/frm for SWLI or BTW ramps\n"
    "# OM  = ObjMag: nominal objective magnification, required for BTW ramps\n"
    "# SC  = ScanCal: factor near 1.0 to calibrate SWLI or BTW ramps\n"
    "# H   = Optional hide flag: 0 is normal, 1 to hide ramp from user\n"
    "#\n"
    "# RT    FN                     SL    CR   CI GS  FPF    RS       OM   SC      H\n";

// What the reader writes after a file without one acceptable line.
std::string no_acceptable(const std::string& path)
{
    return "No acceptable ramp specs in ramp config file \"" + path + "\"\nFormat description and sample:\n" +
           heading.substr(heading.find('\n') + 1) +
           " SWLI d10s81c25.b12345      010.20 025.00 00 00 0.250 081.0000 000.00 1.00000 0\n";
}

std::string error_header(const std::string& path) { return "Error reading ramp config file \"" + path + "\"\n"; }

struct read_result {
    int32_t rc;
    std::vector<rr_ramp_cfg_t> entries;
    std::string log;
};

read_result read_text(const vptest::TempDir& dir, const std::string& text, const std::string& name = "rampcfg.txt")
{
    vptest::write_file(dir / name, text);
    vptest::LogCapture log;
    rr_ramp_cfg_t* list = nullptr;
    int32_t count = -1;
    read_result r;
    r.rc = rr_read_ramp_config(dir.str(name).c_str(), &list, &count);
    if (r.rc == NO_ERROR)
        r.entries.assign(list, list + count);
    else
        EXPECT_EQ(list, nullptr);
    u_free(list);
    r.log = log.str();
    return r;
}

const char* const good_swli = "SWLI d10s81c25.b12345 10.2 25 0 0 0.25 81 0 1.0\n";

TEST(RampConfigRead, CommentsAndBlankLinesOnlyGiveTheFormatDescription)
{
    vptest::TempDir dir;
    read_result r = read_text(dir, "# only a comment\n   \n\t\n#SWLI a 1 25 0 0 0.25 81 0 1\n\n");
    const std::string path = dir.str("rampcfg.txt");
    EXPECT_EQ(r.rc, ERR_CORRUPT_RAMP_CFG_FILE);
    EXPECT_EQ(r.log, no_acceptable(path));
}

TEST(RampConfigRead, BadLinesAreReportedAndSkipped)
{
    vptest::TempDir dir;
    const std::string bad1 = "PMIX a 0 25 0 0 0.25 0 0 0\n";
    const std::string bad2 = "PMI p5c25.p100 10 25 0 0 0.25 0 0 0\n";
    const std::string bad3 = "SWLI\tf 0 25 0 0 0.25 81 0 1\n";
    read_result r = read_text(dir, std::string(good_swli) + "# comment\n" + bad1 + bad2 + "\n" + bad3 +
                                       "PMI p5c25.p100 0 25 0 0 0.25 0 0 0 1\n");
    const std::string path = dir.str("rampcfg.txt");
    EXPECT_EQ(r.rc, NO_ERROR);
    EXPECT_EQ(r.log, error_header(path) +
                         "Invalid RampType value (field 1) in line 3:\n  " + bad1 +
                         "Allowed RampType values are SWLI, PMI, BTW, and BTWX\nwhere X is a wavelength index in the "
                         "range [1,4]\n"
                         "Invalid ScanLen value 10 (field 3) in line 4:\n  " + bad2 +
                         "For PMI ramps, the ScanLen value must be 0\nFor SWLI or BTW ramps, it must be greater than 0 "
                         "and less than 1000 (um)\n"
                         "Invalid ScanLen value 0 (field 3) in line 6:\n  " + bad3 +
                         "For PMI ramps, the ScanLen value must be 0\nFor SWLI or BTW ramps, it must be greater than 0 "
                         "and less than 1000 (um)\n"
                         "Accepted 2 of 5 ramp specs in ramp config file \"" + path + "\"\n");
    ASSERT_EQ(r.entries.size(), 2u);
    const rr_ramp_cfg_t& a = r.entries[0];
    EXPECT_EQ(a.RampType, RR_SWLI);
    EXPECT_STREQ(a.FileName, "d10s81c25.b12345");
    EXPECT_EQ(a.ScanLen, 10.2f);
    EXPECT_EQ(a.CameraRate, 25.0f);
    EXPECT_EQ(a.FringesPerFrame, 0.25f);
    EXPECT_EQ(a.RampSlope, 81.0f);
    EXPECT_EQ(a.ScanCal, 1.0f);
    EXPECT_EQ(a.Hide, 0);
    EXPECT_EQ(r.entries[1].RampType, RR_PMI);
    EXPECT_EQ(r.entries[1].Hide, 1);
}

TEST(RampConfigRead, TooLongLineEndsTheReading)
{
    vptest::TempDir dir;
    const std::string comment200 = "#" + std::string(198, 'x') + "\n";  // 200 with its line feed: fine
    const std::string spec201 = "SWLI " + std::string(195, 'y') + "\n";
    const std::string path = dir.str("rampcfg.txt");

    read_result r = read_text(dir, std::string(good_swli) + comment200 + spec201 + good_swli);
    EXPECT_EQ(r.rc, ERR_CORRUPT_RAMP_CFG_FILE);
    EXPECT_EQ(r.log, error_header(path) + "Line longer than 200 characters in line 3\n");
    EXPECT_TRUE(r.entries.empty());

    r = read_text(dir, spec201);
    EXPECT_EQ(r.rc, ERR_CORRUPT_RAMP_CFG_FILE);
    EXPECT_EQ(r.log, error_header(path) + "Line longer than 200 characters in line 1\n" + no_acceptable(path));

    // A line of 600 characters is one too-long line, not several reads.
    r = read_text(dir, std::string(600, '#') + "\n" + good_swli);
    EXPECT_EQ(r.log, error_header(path) + "Line longer than 200 characters in line 1\n" + no_acceptable(path));
}

TEST(RampConfigRead, TheTwentyFirstBadLineEndsTheReading)
{
    vptest::TempDir dir;
    std::string text = good_swli;
    for (int i = 0; i < 25; ++i)
        text += "XYZ a\n";
    read_result r = read_text(dir, text);
    const std::string path = dir.str("rampcfg.txt");
    std::string expected = error_header(path);
    for (int line = 2; line <= 22; ++line)
        expected += "Invalid RampType value (field 1) in line " + std::to_string(line) +
                    ":\n  XYZ a\nAllowed RampType values are SWLI, PMI, BTW, and BTWX\nwhere X is a wavelength index "
                    "in the range [1,4]\n";
    expected += "Too many errors reading ramp config file \"" + path + "\"\n";
    expected += "Accepted 1 of 22 ramp specs in ramp config file \"" + path + "\"\n";
    EXPECT_EQ(r.rc, ERR_CORRUPT_RAMP_CFG_FILE);
    EXPECT_EQ(r.log, expected);
}

TEST(RampConfigRead, AcceptedFields)
{
    const struct {
        const char* line;
        int32_t type, index, hide;
    } rows[] = {
        {"BTW f 10 25 0 0 0.25 81 20 1", RR_BTW, 0, 0},      {"BTW4 f 10 25 0 0 0.25 81 20 1", RR_BTW, 4, 0},
        {"BTW12 f 10 25 0 0 0.25 81 20 1", RR_BTW, 1, 0},    {"SWLIX f 10 25 0 0 0.25 81 0 1", RR_SWLI, 0, 0},
        {"SWLI f 10 25 0 0 0.25 81 0 1 # note", RR_SWLI, 0, 0}, {"SWLI f 10 25 0 0 0.25 81 0 1 #", RR_SWLI, 0, 0},
        {"SWLI f 10 25 0 0 0.25 81 0 1 ", RR_SWLI, 0, 0},    {"SWLI f 10 25 0 0 0.25 81 0 1 1 x", RR_SWLI, 0, 1},
        {"SWLI f 10 49999.9 0 0 0.25 81 0 1", RR_SWLI, 0, 0}, {"PMI f 0 25Hz 1 99 9.99 0 0 0", RR_PMI, 0, 0},
    };
    vptest::TempDir dir;
    for (const auto& row : rows) {
        read_result r = read_text(dir, std::string(row.line) + "\n");
        EXPECT_EQ(r.log, "") << row.line;
        ASSERT_EQ(r.entries.size(), 1u) << row.line;
        EXPECT_EQ(r.entries[0].RampType, row.type) << row.line;
        EXPECT_EQ(r.entries[0].WavelenIndex, row.index) << row.line;
        EXPECT_EQ(r.entries[0].Hide, row.hide) << row.line;
    }
    EXPECT_EQ(read_text(dir, "SWLI f 10 49999.9 0 0 0.25 81 0 1\n").entries.at(0).CameraRate, 49999.9f);
    const std::string name80(80, 'n');
    EXPECT_EQ(std::string(read_text(dir, "SWLI " + name80 + " 10 25 0 0 0.25 81 0 1\n").entries.at(0).FileName), name80);
}

TEST(RampConfigRead, RejectedFields)
{
    const std::string type2 = "Allowed RampType values are SWLI, PMI, BTW, and BTWX\nwhere X is a wavelength index in "
                              "the range [1,4]\n";
    const std::string index2 = "Wavelength index must be an integer in the range [1,4]\n";
    const std::string len2 = "For PMI ramps, the ScanLen value must be 0\nFor SWLI or BTW ramps, it must be greater "
                             "than 0 and less than 1000 (um)\n";
    const std::string cal2 = "For PMI ramps, the ScanCal value must be 0\nFor SWLI or BTW ramps, it must be greater "
                             "than 0.5 and less than 1.5\n";
    const std::string rate2 = "The CameraRate value must be greater than 0 and less than 50000 (Hz)\n";
    const std::string skip2 = "The GrabSkip value must be greater than or equal to 0 and less than 100\n";
    const struct {
        std::string line, report;  // the report: first message, then (after the line) the second
    } rows[] = {
        {"BTW5 f 10 25 0 0 0.25 81 20 1", "Invalid BTW wavelength index (field 1)|" + index2},
        {"BTWa f 10 25 0 0 0.25 81 20 1", "Invalid BTW wavelength index (field 1)|" + index2},
        {"PMIX f 0 25 0 0 0.25 0 0 0", "Invalid RampType value (field 1)|" + type2},
        {"swli f 10 25 0 0 0.25 81 0 1", "Invalid RampType value (field 1)|" + type2},
        {"SWLI", "Missing FileName value (field 2)|"},
        {"SWLI " + std::string(81, 'n') + " 1", "FileName is too long (field 2)|The FileName may be up to 80 characters\n"},
        {"PMI f 10 25 0 0 0.25 0 0 0", "Invalid ScanLen value 10 (field 3)|" + len2},
        {"SWLI f inf 25 0 0 0.25 81 0 1", "Missing ScanLen value (field 3)|"},
        {"SWLI f 1e400 25 0 0 0.25 81 0 1", "Invalid ScanLen value inf (field 3)|" + len2},
        {"SWLI f 10 50000 0 0 0.25 81 0 1", "Invalid CameraRate value 50000 (field 4)|" + rate2},
        {"SWLI f 10 nan 0 0 0.25 81 0 1", "Missing CameraRate value (field 4)|"},
        {"SWLI f 10 0x10 0 0 0.25 81 0 1", "Invalid CameraRate value 0 (field 4)|" + rate2},
        {"SWLI f 10 25 x 0 0.25 81 0 1", "Missing CameraInterlace value (field 5)|"},
        {"SWLI f 10 25 2 0 0.25 81 0 1", "Invalid CameraInterlace value 2 (field 5)|The CameraInterlace value must be 0 or 1\n"},
        {"SWLI f 10 25 0 100 0.25 81 0 1", "Invalid GrabSkip value 100 (field 6)|" + skip2},
        {"SWLI f 10 25 0 99999999999 0.25 81 0 1", "Invalid GrabSkip value 2147483647 (field 6)|" + skip2},
        {"SWLI f 10 25 0 0 10 81 0 1",
         "Invalid FringesPerFrame value 10 (field 7)|The FringesPerFrame value must be greater than 0 and less than 10\n"},
        {"SWLI f 10 25 0 0 0.25 0 0 1", "Invalid RampSlope value 0 (field 8)|For PMI ramps, the RampSlope value may be "
                                        "0\nFor SWLI or BTW ramps, it must be greater than 0 and less than 4000 (nm/frm)\n"},
        {"BTW f 10 25 0 0 0.25 81 0 1", "Invalid ObjMag value 0 (field 9)|For PMI or SWLI ramps, the ObjMag value may "
                                        "be 0\nFor BTW ramps, it must be greater than 0 and less than 1000\n"},
        {"SWLI f 10 25 0 0 0.25 81 0 1.5", "Invalid ScanCal value 1.5 (field 10)|" + cal2},
        {"PMI f 0 25 0 0 0.25 0 0 1", "Invalid ScanCal value 1 (field 10)|" + cal2},
        {"SWLI f 10 25 0 0 0.25 81 0", "Missing ScanCal value (field 10)|"},
        {"SWLI f 10 25 0 0 0.25 81 0 1 2", "Invalid Hide value 2 (field 11)|The Hide value must be blank, 0 or 1\n"},
    };
    vptest::TempDir dir;
    const std::string path = dir.str("rampcfg.txt");
    for (const auto& row : rows) {
        const std::string line = row.line + "\n";
        read_result r = read_text(dir, line);
        const std::size_t bar = row.report.find('|');
        EXPECT_EQ(r.rc, ERR_CORRUPT_RAMP_CFG_FILE) << row.line;
        EXPECT_EQ(r.log, error_header(path) + row.report.substr(0, bar) + " in line 1:\n  " + line +
                             row.report.substr(bar + 1) + no_acceptable(path))
            << row.line;
    }
}

TEST(RampConfigRead, CrLfLineEndsReadAsLineFeeds)
{
    vptest::TempDir dir;
    const std::string lf = std::string("# c\n") + good_swli + "SWLI f 0 25 0 0 0.25 81 0 1\n\nPMI p 0 30 0 0 0.25 0 0 0\n";
    std::string crlf;
    for (char c : lf)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    read_result a = read_text(dir, lf, "a.txt");
    read_result b = read_text(dir, crlf, "a.txt");
    EXPECT_EQ(a.rc, NO_ERROR);
    EXPECT_EQ(b.rc, NO_ERROR);
    ASSERT_EQ(a.entries.size(), 2u);
    ASSERT_EQ(b.entries.size(), 2u);
    EXPECT_EQ(std::memcmp(a.entries.data(), b.entries.data(), 2 * sizeof(rr_ramp_cfg_t)), 0);
    EXPECT_EQ(b.log, a.log);
    EXPECT_NE(a.log.find("in line 3:\n  SWLI f 0 25 0 0 0.25 81 0 1\nFor PMI"), std::string::npos) << a.log;
}

TEST(RampConfigRead, ArgumentsAndMissingFile)
{
    vptest::TempDir dir;
    rr_ramp_cfg_t one{};
    rr_ramp_cfg_t* list = &one;
    int32_t count = 0;
    vptest::LogCapture log;
    EXPECT_EQ(rr_read_ramp_config(dir.str("nope.txt").c_str(), &list, &count), ERR_INVALID_PARAM);
    EXPECT_EQ(log.str(), "");
    list = nullptr;
    EXPECT_EQ(rr_read_ramp_config(dir.str("nope.txt").c_str(), &list, &count), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(log.str(), "Cannot open ramp config file \"" + dir.str("nope.txt") + "\"\n");
}

rr_ramp_cfg_t cfg(int32_t type, int32_t index, const char* name, float len, float rate, int32_t ci, int32_t gs,
                  float fpf, float slope, float mag, float cal, int32_t hide)
{
    rr_ramp_cfg_t e{};
    e.RampType = type;
    e.WavelenIndex = index;
    std::strncpy(e.FileName, name, RR_CFG_MAX_FILENAME);
    e.ScanLen = len;
    e.CameraRate = rate;
    e.CameraInterlace = ci;
    e.GrabSkip = gs;
    e.FringesPerFrame = fpf;
    e.RampSlope = slope;
    e.ObjMag = mag;
    e.ScanCal = cal;
    e.Hide = hide;
    return e;
}

const rr_ramp_cfg_t written[] = {
    cfg(RR_SWLI, 0, "d10s81c25.b12345", 10.2f, 25, 0, 0, 0.25f, 81, 0, 1, 0),
    cfg(RR_SWLI, 0, "d10s81c25.b12345", 10.2f, 25.5f, 0, 0, 0.25f, 81, 0, 1, 1),
    cfg(RR_SWLI, 0, "d10s81c25.b12345", 5, 30, 1, 1, 0.75f, 243, 0, 0.98f, 0),
    cfg(RR_BTW, 2, "d10s81c30m20.b7", 10, 30, 0, 1, 0.25f, 81, 20, 1.02f, 0),
    cfg(RR_PMI, 0, "p13c10.q42", 0, 30, 0, 2, 0.125f, 0, 0, 0, 0),
};

std::string native_text(std::string text)
{
#ifdef _WIN32
    std::string crlf;
    for (char c : text)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return crlf;
#else
    return text;
#endif
}

TEST(RampConfigWrite, HeadingAndGroups)
{
    vptest::TempDir dir;
    ASSERT_EQ(rr_write_ramp_config(dir.str("out.txt").c_str(), written, 5), NO_ERROR);
    EXPECT_EQ(vptest::read_file(dir / "out.txt"),
              native_text(heading +
                          "\n"
                          " SWLI d10s81c25.b12345        10.20  25.00  0  0 0.250  81.0000   0.00 1.00000 0\n"
                          " SWLI d10s81c25.b12345        10.20  25.50  0  0 0.250  81.0000   0.00 1.00000 1\n"
                          "\n"
                          " SWLI d10s81c25.b12345         5.00  30.00  1  1 0.750 243.0000   0.00 0.98000 0\n"
                          "\n"
                          " BTW2 d10s81c30m20.b7         10.00  30.00  0  1 0.250  81.0000  20.00 1.02000 0\n"
                          "\n"
                          " PMI  p13c10.q42               0.00  30.00  0  2 0.125   0.0000   0.00 0.00000 0\n"));

    rr_ramp_cfg_t odd[] = {cfg(RR_BTW, 7, "a", 1, 25, 0, 0, 0.25f, 81, 2, 1, 0), cfg(19, 0, "a", 1, 25, 0, 0, 0.25f, 81, 2, 1, 0),
                           cfg(3, 0, "a", 0, 25, 0, 0, 0.25f, 0, 0, 0, 0)};
    ASSERT_EQ(rr_write_ramp_config(dir.str("odd.txt").c_str(), odd, 3), NO_ERROR);
    const std::string text = vptest::read_file(dir / "odd.txt");
    EXPECT_NE(text.find(native_text("\n BTW  a ")), std::string::npos);
    EXPECT_NE(text.find(native_text("\n XXX  a ")), std::string::npos);
    EXPECT_NE(text.find(native_text("\n PMI  a ")), std::string::npos);

    EXPECT_EQ(rr_write_ramp_config(dir.str("x.txt").c_str(), nullptr, 1), ERR_INVALID_PARAM);
    EXPECT_EQ(rr_write_ramp_config(dir.str("no_dir/x.txt").c_str(), written, 1), ERR_CANT_OPEN_FILE);
}

TEST(RampConfigWrite, WhatIsWrittenReadsBackIntoTheSameEntries)
{
    vptest::TempDir dir;
    ASSERT_EQ(rr_write_ramp_config(dir.str("rt.txt").c_str(), written, 5), NO_ERROR);
    read_result r = read_text(dir, vptest::read_file(dir / "rt.txt"), "rt.txt");
    ASSERT_EQ(r.rc, NO_ERROR) << r.log;
    EXPECT_EQ(r.log, "");
    ASSERT_EQ(r.entries.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_EQ(std::memcmp(&r.entries[i], &written[i], sizeof(rr_ramp_cfg_t)), 0) << i;
}

TEST(RampConfigSave, TheInstrumentsRampSetBecomesAConfiguration)
{
    sysinfo_reset_all_slots();
    vptest::TempDir dir;
    const std::string out = dir.str("saved.txt");
    sysInfo* si = sysinfo_slot(2);
    EXPECT_EQ(rr_save_ramp_config(nullptr, out.c_str()), ERR_SYS_INFO_NOT_AVAIL);
    EXPECT_EQ(rr_save_ramp_config(si, out.c_str()), ERR_NO_RAMP_INFO);
    sysInfo outside;
    EXPECT_EQ(rr_save_ramp_config(&outside, out.c_str()), ERR_NO_RAMP_INFO);
    rr_instr_ramps_t& st = *rr_instr_ramps(si);
    st.haveSet = true;
    EXPECT_EQ(rr_save_ramp_config(si, out.c_str()), ERR_INVALID_RAMP_INDEX);

    for (const rr_ramp_cfg_t& e : written) {
        rr_ramp_t r;
        r.name = e.FileName;
        r.hide = e.Hide;
        rr_ramp_hdr_t& h = r.hdr;
        h.rampType = e.RampType == RR_PMI ? 5 : e.RampType, h.wavelenSelect = e.WavelenIndex, h.scanLen = e.ScanLen;
        h.cameraRate = e.CameraRate, h.cameraInterlace = e.CameraInterlace, h.grabSkip = e.GrabSkip;
        h.fringesPerFrame = e.FringesPerFrame, h.rampSlope = e.RampSlope, h.objMag = e.ObjMag, h.scanCal = e.ScanCal;
        st.ramps.push_back(std::move(r));
    }
    st.ramps[2].name = "+" + st.ramps[1].name;
    EXPECT_EQ(rr_save_ramp_config(si, nullptr), ERR_INVALID_PARAM);
    ASSERT_EQ(rr_save_ramp_config(si, out.c_str()), NO_ERROR);
    const std::string text = vptest::read_file(out);
    EXPECT_NE(text.find(native_text("\n SWLI +                        5.00  30.00  1  1 0.750 243.0000   0.00 0.98000 0\n")),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(native_text("\n PMI  p13c10.q42 ")), std::string::npos) << text;

    st.ramps[0].name = std::string(81, 'n');
    vptest::LogCapture log;
    EXPECT_EQ(rr_save_ramp_config(si, out.c_str()), ERR_INVALID_PARAM);
    EXPECT_EQ(log.str(), "rr_save_ramp_config: ramp name \"" + std::string(81, 'n') + "\" is longer than 80 characters\n");
    EXPECT_EQ(vptest::read_file(out), text) << "the saved file is left as it was";
    sysinfo_reset_all_slots();
}

// Every entry the reader can give, written and read again, is the same entry: the fixed form
// where it reads back, else the fewest digits that do. Random values of every field's range
// and the values that the fixed form rounds onto a limit or onto another float.
TEST(RampConfigWrite, EveryEntryTheReaderGivesReadsBackAsItself)
{
    vptest::TempDir dir;
    std::mt19937 rng(42);
    struct range {
        double lo, hi;
        std::vector<double> edges;
    };
    // Open ranges, as the reader takes them (PMI: ScanLen and ScanCal 0, RampSlope from 0).
    const range scan_len{0, 1000, {0.001, 999.999, 12.345, 999.9999999, 1e-30, 0.005}};
    const range camera_rate{0, 50000, {49999.999, 49999.9999999, 0.001, 25.125}};
    const range fpf{0, 10, {9.9999, 9.99999999, 0.0001, 0.1235}};
    const range slope{0, 4000, {3999.99999, 3999.99999999, 0.00001, 81.00005}};
    const range obj_mag{0, 1000, {0.001, 999.999, 999.9999999, 0.004}};
    const range scan_cal{0.5, 1.5, {1.499999, 0.500001, 1.4999999999, 0.50000000001, 1.000004}};
    auto pick = [&](const range& r) {
        std::uniform_int_distribution<int> how(0, 3);
        double v = 0;
        do {
            if (how(rng) == 0) {
                v = r.edges[std::uniform_int_distribution<std::size_t>(0, r.edges.size() - 1)(rng)];
            } else {
                // Any scale: uniform in the exponent as well as in the range.
                const double u = std::uniform_real_distribution<double>(0, 1)(rng);
                v = how(rng) == 1 ? r.lo + (r.hi - r.lo) * u : r.hi * std::pow(10.0, -12 * u);
            }
        } while (!(v > r.lo && v < r.hi));
        return static_cast<float>(v);  // as the reader stores it
    };
    for (int round = 0; round < 20; ++round) {
        std::vector<rr_ramp_cfg_t> entries(200);
        for (rr_ramp_cfg_t& e : entries) {
            const int kind = std::uniform_int_distribution<int>(0, 2)(rng);
            e.RampType = kind == 0 ? RR_SWLI : kind == 1 ? RR_PMI : RR_BTW;
            e.WavelenIndex = kind == 2 ? std::uniform_int_distribution<int>(0, 4)(rng) : 0;
            std::snprintf(e.FileName, sizeof e.FileName, "r%u.b7", static_cast<unsigned>(rng() % 1000));
            const bool pmi = e.RampType == RR_PMI;
            e.ScanLen = pmi ? 0.0f : pick(scan_len);
            e.CameraRate = pick(camera_rate);
            e.CameraInterlace = static_cast<int32_t>(rng() % 2);
            e.GrabSkip = static_cast<int32_t>(rng() % 100);
            e.FringesPerFrame = pick(fpf);
            e.RampSlope = pmi && rng() % 4 == 0 ? 0.0f : pick(slope);
            e.ObjMag = e.RampType != RR_BTW && rng() % 4 == 0 ? 0.0f : pick(obj_mag);
            e.ScanCal = pmi ? 0.0f : pick(scan_cal);
            e.Hide = static_cast<int32_t>(rng() % 2);
        }
        ASSERT_EQ(rr_write_ramp_config(dir.str("p.txt").c_str(), entries.data(), 200), NO_ERROR);
        read_result r = read_text(dir, vptest::read_file(dir / "p.txt"), "p.txt");
        ASSERT_EQ(r.rc, NO_ERROR) << r.log;
        ASSERT_EQ(r.log, "");
        ASSERT_EQ(r.entries.size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const rr_ramp_cfg_t& a = entries[i];
            const rr_ramp_cfg_t& b = r.entries[i];
            const std::string line = rr_format_ramp_config(&a, 1).substr(heading.size());
            EXPECT_EQ(a.RampType, b.RampType) << line;
            EXPECT_EQ(a.WavelenIndex, b.WavelenIndex) << line;
            EXPECT_STREQ(a.FileName, b.FileName) << line;
            EXPECT_EQ(a.ScanLen, b.ScanLen) << line;
            EXPECT_EQ(a.CameraRate, b.CameraRate) << line;
            EXPECT_EQ(a.CameraInterlace, b.CameraInterlace) << line;
            EXPECT_EQ(a.GrabSkip, b.GrabSkip) << line;
            EXPECT_EQ(a.FringesPerFrame, b.FringesPerFrame) << line;
            EXPECT_EQ(a.RampSlope, b.RampSlope) << line;
            EXPECT_EQ(a.ObjMag, b.ObjMag) << line;
            EXPECT_EQ(a.ScanCal, b.ScanCal) << line;
            EXPECT_EQ(a.Hide, b.Hide) << line;
        }
    }
    // The fixed form stays where it reads back; a value it would change gets its own digits, and
    // the float 50000 (what the reader makes of 49999.999) the double just below the limit.
    const rr_ramp_cfg_t shown[] = {cfg(RR_SWLI, 0, "a.b7", 12.345f, 49999.999f, 0, 0, 9.9999f, 81, 0, 1.499999f, 0),
                                   cfg(RR_SWLI, 0, "a.b7", 10.2f, 25, 0, 0, 0.25f, 81, 0, 1, 0)};
    EXPECT_EQ(rr_format_ramp_config(shown, 2).substr(heading.size()),
              "\n SWLI a.b7                   12.345 49999.99999999999  0  0 9.9999  81.0000   0.00 1.499999 0\n"
              "\n SWLI a.b7                    10.20  25.00  0  0 0.250  81.0000   0.00 1.00000 0\n");
}

// A saved set is read back by the next build: each entry matches its ramp; a ramp whose entry
// could not be read back (a name with a blank, values the reader refuses) is not saved and
// the file is left as it was.
TEST(RampConfigSave, WhatIsSavedMatchesItsRampsOrNothingIsSaved)
{
    sysinfo_reset_all_slots();
    sysinfo_reset_runtime_all();
    vptest::TempDir dir;
    const std::string out = dir.str("saved.txt");
    sysInfo* si = sysinfo_slot(1);
    rr_instr_ramps_t& st = *rr_instr_ramps(si);
    st.haveSet = true;
    auto add = [&](const char* name, int32_t type, float len, float rate, float fpf, float slope, float mag, float cal) {
        rr_ramp_t r;
        r.name = name;
        rr_ramp_hdr_t& h = r.hdr;
        h.rampType = type, h.scanLen = len, h.cameraRate = rate, h.fringesPerFrame = fpf, h.rampSlope = slope;
        h.objMag = mag, h.scanCal = cal;
        st.ramps.push_back(std::move(r));
    };
    add("a.b7", RR_SWLI, 12.345f, 25, 0.25f, 81, 0, 1);
    add("b.b7", RR_SWLI, 999.999f, 49999.999f, 9.9999f, 81.00005f, 0, 1.499999f);
    add("c.b7", RR_BTW, 0.001f, 30, 0.25f, 81, 0.001f, 0.500001f);
    add("d.p5", 5, 10, 30, 0.125f, 0, 0, 1);  // PMI: scan length and calibration are not saved
    ASSERT_EQ(rr_save_ramp_config(si, out.c_str()), NO_ERROR);
    rr_ramp_cfg_t* list = nullptr;
    int32_t count = 0;
    vptest::LogCapture log;
    ASSERT_EQ(rr_read_ramp_config(out.c_str(), &list, &count), NO_ERROR);
    EXPECT_EQ(log.str(), "");
    ASSERT_EQ(count, 4);
    for (int32_t i = 0; i < count; ++i)
        EXPECT_EQ(rr_check_ramp_config(&list[i], &st.ramps[static_cast<std::size_t>(i)]), NO_ERROR) << i;
    EXPECT_EQ(list[3].RampType, RR_PMI);
    EXPECT_EQ(list[3].ScanLen, 0.0f);
    EXPECT_EQ(list[3].ScanCal, 0.0f);
    u_free(list);
    const std::string saved = vptest::read_file(out);

    struct refusal {
        const char* name;
        float scan_cal;
        std::string log;
    };
    const refusal rows[] = {
        {"my ramp.b5", 1, "rr_save_ramp_config: ramp name \"my ramp.b5\" contains a blank, tab or line end\n"},
        {"tab\tramp.b5", 1, "rr_save_ramp_config: ramp name \"tab\tramp.b5\" contains a blank, tab or line end\n"},
        {"e.b7", 0, "rr_save_ramp_config: ramp \"e.b7\" cannot be saved: its ScanCal value does not read back\n"},
    };
    for (const refusal& r : rows) {
        add(r.name, RR_SWLI, 10, 25, 0.25f, 81, 0, r.scan_cal);
        log.clear();
        EXPECT_EQ(rr_save_ramp_config(si, out.c_str()), ERR_INVALID_PARAM) << r.name;
        EXPECT_EQ(log.str(), r.log);
        EXPECT_EQ(vptest::read_file(out), saved) << "the saved file is left as it was";
        st.ramps.pop_back();
    }
    sysinfo_reset_runtime_all();
    sysinfo_reset_all_slots();
}

#ifndef _WIN32
// A read error is not the end of the file: nothing is returned. (A directory opens for reading
// on POSIX systems and fails at the first read.)
TEST(RampConfigRead, AReadErrorReturnsNothing)
{
    vptest::TempDir dir;
    std::filesystem::create_directory(dir / "rampcfg.txt");
    vptest::LogCapture log;
    rr_ramp_cfg_t* list = nullptr;
    int32_t count = -1;
    EXPECT_EQ(rr_read_ramp_config(dir.str("rampcfg.txt").c_str(), &list, &count), ERR_CANT_READ_FILE);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(log.str(), "Cannot read ramp config file \"" + dir.str("rampcfg.txt") + "\"\n");
}
#endif

TEST(RampConfigCheck, EntryAgainstItsLoadedRamp)
{
    rr_ramp_t swli;
    swli.hdr.cameraRate = 25, swli.hdr.fringesPerFrame = 0.25f, swli.hdr.scanLen = 10, swli.hdr.rampSlope = 81;
    const rr_ramp_cfg_t base = cfg(RR_SWLI, 0, "f", 10, 25, 0, 0, 0.25f, 81, 0, 1, 0);
    struct row {
        const char* what;
        rr_ramp_cfg_t e;
        int32_t ramp_type;
        const char* log;
    };
    std::vector<row> rows;
    auto with = [&](const char* what, auto change, int32_t ramp_type, const char* log) {
        rr_ramp_cfg_t e = base;
        change(e);
        rows.push_back({what, e, ramp_type, log});
    };
    with("equal", [](rr_ramp_cfg_t&) {}, RR_SWLI, "");
    with("rate within 0.1", [](rr_ramp_cfg_t& e) { e.CameraRate = 25.09f; }, RR_SWLI, "");
    with("type", [](rr_ramp_cfg_t& e) { e.RampType = RR_BTW; }, RR_SWLI, "Error: mismatched rampType\n");
    with("rate", [](rr_ramp_cfg_t& e) { e.CameraRate = 25.2f; }, RR_SWLI, "Error: mismatched cameraRate\n");
    with("interlace", [](rr_ramp_cfg_t& e) { e.CameraInterlace = 1; }, RR_SWLI, "Error: mismatched cameraInterlace\n");
    with("grab skip", [](rr_ramp_cfg_t& e) { e.GrabSkip = 1; }, RR_SWLI, "Error: mismatched grabSkip\n");
    with("fpf", [](rr_ramp_cfg_t& e) { e.FringesPerFrame = 0.75f; }, RR_SWLI, "Error: mismatched fringesPerFrame\n");
    with("scan length", [](rr_ramp_cfg_t& e) { e.ScanLen = 10.01f; }, RR_SWLI, "Error: mismatched scanLen\n");
    with("slope", [](rr_ramp_cfg_t& e) { e.RampSlope = 80; }, RR_SWLI, "Error: mismatched rampSlope\n");
    with("PMI entry 1 for ramp type 6", [](rr_ramp_cfg_t& e) { e.RampType = 1; e.ScanLen = 0; e.RampSlope = 0; }, 6, "");
    with("PMI entry 6 for ramp type 6", [](rr_ramp_cfg_t& e) { e.RampType = 6; }, 6, "");
    with("PMI entry 2 for ramp type 6", [](rr_ramp_cfg_t& e) { e.RampType = 2; }, 6, "Error: mismatched rampType\n");
    with("SWLI entry for a PMI ramp", [](rr_ramp_cfg_t&) {}, 6, "Error: mismatched rampType\n");
    for (const row& r : rows) {
        swli.hdr.rampType = r.ramp_type;
        vptest::LogCapture log;
        EXPECT_EQ(rr_check_ramp_config(&r.e, &swli), *r.log ? ERR_INVALID_PARAM : NO_ERROR) << r.what;
        EXPECT_EQ(log.str(), r.log) << r.what;
    }
}

void* no_memory(void*, std::size_t) { return nullptr; }

TEST(RampConfigRead, OutOfMemoryEndsTheReading)
{
    vptest::TempDir dir;
    const std::string path = dir.str("rampcfg.txt");
    u_hooks.realloc = &no_memory;
    read_result r = read_text(dir, good_swli);
    u_hooks_reset();
    EXPECT_EQ(r.rc, ERR_NO_MEM);
    EXPECT_EQ(r.log, error_header(path) + "Out of memory in line 1:\n  " + good_swli + no_acceptable(path));
}

TEST(RampConfigFileName, StarTakesTheScannersSerialNumber)
{
    const struct {
        int32_t type;
        std::string file;
        int32_t rc;
        std::string name;
    } rows[] = {
        {RR_SWLI, "d10s81c25.b*", NO_ERROR, "d10s81c25.b4711"},
        {RR_BTW, "d10s81c25m20.b*", NO_ERROR, "d10s81c25m20.b4711"},
        {RR_PMI, "p7c25.q*", NO_ERROR, "p7c25.q-1"},
        {RR_SWLI, "a*b", NO_ERROR, "a*b"},
        {RR_SWLI, std::string(76, 'n') + "*", NO_ERROR, std::string(76, 'n') + "4711"},
        {RR_SWLI, std::string(77, 'n') + "*", ERR_INVALID_PARAM, ""},
    };
    for (const auto& row : rows) {
        rr_ramp_cfg_t e{};
        e.RampType = row.type;
        std::strncpy(e.FileName, row.file.c_str(), RR_CFG_MAX_FILENAME);
        std::string name = "stale";
        vptest::LogCapture log;
        EXPECT_EQ(rr_cfg_data_file_name(&e, 4711, -1, name), row.rc) << row.file;
        EXPECT_EQ(name, row.name);
        EXPECT_EQ(log.str(), row.rc == NO_ERROR ? std::string()
                                                : "Ramp config error reading ramp data file \"" + std::string(77, 'n') +
                                                      "4711\": ERR_INVALID_PARAM\n");
    }
}

}  // namespace
