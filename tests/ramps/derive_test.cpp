// Ramps derived from a loaded ramp, and external profile ramps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/ramps/ramp_config.h"
#include "vell/ramps/ramp_file.h"
#include "tests/support/test_support.h"

namespace {

rr_samples samples_of(const std::vector<uint16_t>& v)
{
    auto* p = static_cast<uint16_t*>(u_malloc(v.size() * sizeof(uint16_t)));
    std::memcpy(p, v.data(), v.size() * sizeof(uint16_t));
    return rr_samples(p);
}

// A 10 um SWLI base of ten samples, linear section 2..8 about offset 0.
rr_ramp_t base_ramp()
{
    rr_ramp_t b;
    b.name = "d10s81c25.b7";
    rr_ramp_hdr_t& h = b.hdr;
    h.rampType = RR_SWLI, h.nPoints = 10, h.trigStartAddr = 2, h.trigEndAddr = 8, h.offset = 0, h.scanLen = 10;
    h.rampSlope = 81, h.cameraRate = 25, h.grabSkip = 0, h.sampleClkFreq = 4, h.pztID = 7;
    h.compFilter = 1, h.compGain = 1, h.adcMin = -10, h.adcMax = 1000;
    b.slot = 3;
    b.hide = 1;
    b.samples = samples_of({0, 50, 100, 200, 300, 400, 500, 600, 700, 800});
    return b;
}

rr_ramp_cfg_t entry_of(int32_t type, float len, float slope)
{
    rr_ramp_cfg_t e{};
    e.RampType = type, e.ScanLen = len, e.CameraRate = 25, e.FringesPerFrame = 0.25f, e.RampSlope = slope, e.ScanCal = 1;
    std::strcpy(e.FileName, "+");
    return e;
}

std::vector<uint16_t> samples(const rr_ramp_t& r)
{
    return std::vector<uint16_t>(r.samples.get(), r.samples.get() + r.hdr.nPoints);
}

TEST(DeriveRamp, ShorterScanIsResampledFromTheCentreOfTheLinearSection)
{
    const rr_ramp_t base = base_ramp();
    rr_ramp_cfg_t e = entry_of(RR_SWLI, 5, 81);
    e.CameraInterlace = 1;
    rr_ramp_t r;
    vptest::LogCapture log;
    ASSERT_EQ(rr_derive_ramp(&base, &r, &e), NO_ERROR);
    EXPECT_EQ(log.str(), "");
    // Ramp-up rescaled about the offset to end at s[3] = 200; then s[3..8] stretched by 1.6.
    EXPECT_EQ(samples(r), (std::vector<uint16_t>{0, 100, 200, 262, 293, 325, 387, 418, 450, 512}));
    EXPECT_EQ(r.hdr.scanLen, 5.0f);
    EXPECT_EQ(r.hdr.sampleClkFreq, 6.4f);
    EXPECT_EQ(r.hdr.updateRate, 64911);
    EXPECT_EQ(r.hdr.cameraInterlace, 1);
    EXPECT_EQ(r.name, base.name);
    EXPECT_EQ(r.slot, 3);
    EXPECT_EQ(r.hide, 1);
    EXPECT_EQ(r.hdr.pztID, 7);
    EXPECT_EQ(samples(base), (std::vector<uint16_t>{0, 50, 100, 200, 300, 400, 500, 600, 700, 800}));

    // An offset far outside the sample range rescales the ramp-up without overflowing.
    rr_ramp_t far = base_ramp();
    far.hdr.offset = INT32_MIN;
    rr_ramp_t f;
    ASSERT_EQ(rr_derive_ramp(&far, &f, &e), NO_ERROR);
    EXPECT_EQ(samples(f)[1], 0);  // 50 rescaled about -2^31 by about 1.00000005, cut to 32 bits, then clamped
}

TEST(DeriveRamp, SameScanLengthCopiesTheSamplesAndScalesTheClock)
{
    const rr_ramp_t base = base_ramp();
    rr_ramp_cfg_t e = entry_of(RR_BTW, 10, 243);  // three times as fast
    e.ObjMag = 20;
    e.WavelenIndex = 3;
    rr_ramp_t r;
    ASSERT_EQ(rr_derive_ramp(&base, &r, &e), NO_ERROR);
    EXPECT_EQ(samples(r), samples(base));
    EXPECT_NE(r.samples.get(), base.samples.get());
    EXPECT_EQ(r.hdr.rampType, RR_BTW);
    EXPECT_EQ(r.hdr.wavelenSelect, 3);
    EXPECT_EQ(r.hdr.objMag, 20.0f);
    EXPECT_EQ(r.hdr.sampleClkFreq, 12.0f);
    EXPECT_EQ(r.hdr.updateRate, 65203);  // 65536 - 333.33
    EXPECT_EQ(r.hdr.nBuckets, 0);       // 25 * 6 / 12000
    EXPECT_EQ(r.hdr.compGain, 0);       // faster than twice: one step down
    EXPECT_EQ(r.hdr.adcMin, -30);
    EXPECT_EQ(r.hdr.adcMax, 3000);
}

TEST(DeriveRamp, ResampledOutputHasExactlyNSamplesInRange)
{
    // A long ramp with a steep linear section, derived at many lengths: N samples, the first
    // of the linear part at s[i0], the ramp-up ending there, never beyond 0..65535.
    rr_ramp_t base = base_ramp();
    const int32_t N = 1000;
    std::vector<uint16_t> s(N);
    for (int32_t i = 0; i < N; ++i)
        s[static_cast<std::size_t>(i)] = static_cast<uint16_t>(i < 100 ? 1000 + i * 10 : i < 900 ? 2000 + (i - 100) * 79 : 65535);
    base.samples = samples_of(s);
    base.hdr.nPoints = N;
    base.hdr.trigStartAddr = 100;
    base.hdr.trigEndAddr = 900;
    base.hdr.offset = 1000;
    for (float len : {9.99f, 7.3f, 5.0f, 2.5f, 1.0f, 0.01f}) {
        rr_ramp_t r;
        rr_ramp_cfg_t e = entry_of(RR_SWLI, len, 81);
        ASSERT_EQ(rr_derive_ramp(&base, &r, &e), NO_ERROR) << len;
        const std::vector<uint16_t> out = samples(r);
        ASSERT_EQ(out.size(), static_cast<std::size_t>(N));
        const int32_t i0 = 100 + static_cast<int32_t>((1.0 - len / 10.0) * 800 / 2);
        EXPECT_EQ(out[100], s[static_cast<std::size_t>(i0)]) << len;
        for (int32_t i = 101; i < N; ++i)
            EXPECT_GE(out[static_cast<std::size_t>(i)], out[static_cast<std::size_t>(i - 1)]) << len << " at " << i;
        EXPECT_EQ(out[0], 1000);
        EXPECT_GT(r.hdr.sampleClkFreq, base.hdr.sampleClkFreq);
    }
}

TEST(DeriveRamp, RefusedDerivations)
{
    const rr_ramp_t base = base_ramp();
    rr_ramp_t pmi_base = base_ramp();
    pmi_base.hdr.rampType = 1;
    rr_ramp_t bad_section = base_ramp();
    bad_section.hdr.trigEndAddr = 11;
    rr_ramp_t start_at_offset = base_ramp();
    start_at_offset.hdr.offset = 100;
    rr_ramp_t flat = base_ramp();
    flat.hdr.rampSlope = 0;
    rr_ramp_t slow_clock = base_ramp();
    slow_clock.hdr.sampleClkFreq = 0.01f;
    rr_ramp_cfg_t btw_no_mag = entry_of(RR_BTW, 5, 81);
    rr_ramp_cfg_t fpf = entry_of(RR_SWLI, 5, 81);
    fpf.FringesPerFrame = 0.3f;
    rr_ramp_cfg_t fpf_ok = entry_of(RR_SWLI, 5, 81);
    fpf_ok.FringesPerFrame = 0.0625f;
    const struct {
        const char* what;
        const rr_ramp_t* base;
        rr_ramp_cfg_t e;
        int32_t rc;
        const char* log;
    } rows[] = {
        {"20 um from 10 um", &base, entry_of(RR_SWLI, 20, 81), ERR_PARAM_OUT_OF_RANGE,
         "Error: derived ramp must have smaller scan length\n"},
        {"PMI entry", &base, entry_of(RR_PMI, 5, 81), ERR_INVALID_PARAM, "Error: derived ramp must be type SWLI or BTW\n"},
        {"fpf 0.3", &base, fpf, ERR_INVALID_PARAM, "Error: fringesPerFrame = 0.3 is invalid for derived ramp\n"},
        {"BTW without mag", &base, btw_no_mag, ERR_INVALID_PARAM, "Error: BTW ramp must specify an objective mag\n"},
        {"PMI base", &pmi_base, entry_of(RR_SWLI, 5, 81), ERR_INVALID_PARAM, ""},
        {"section beyond the samples", &bad_section, entry_of(RR_SWLI, 5, 81), ERR_INVALID_PARAM, ""},
        {"section starts at the offset", &start_at_offset, entry_of(RR_SWLI, 5, 81), ERR_INVALID_PARAM, ""},
        {"base slope 0", &flat, entry_of(RR_SWLI, 10, 81), ERR_INVALID_PARAM, ""},
        {"entry slope 0", &base, entry_of(RR_SWLI, 10, 0), ERR_INVALID_PARAM, ""},
        {"clock too low", &slow_clock, entry_of(RR_SWLI, 10, 81), ERR_INVALID_PARAM,
         "Error: sampleClkFreq = 0.01 KHz is too low\n"},
        {"fpf 1/16 divides 0.25", &base, fpf_ok, NO_ERROR, ""},
    };
    for (const auto& row : rows) {
        vptest::LogCapture log;
        rr_ramp_t r;
        r.name = "untouched";
        EXPECT_EQ(rr_derive_ramp(row.base, &r, &row.e), row.rc) << row.what;
        EXPECT_EQ(log.str(), row.log) << row.what;
        if (row.rc != NO_ERROR) {
            EXPECT_EQ(r.samples, nullptr) << row.what;
            EXPECT_EQ(r.name, "untouched") << row.what;
        }
    }
    rr_ramp_t has_samples = base_ramp();
    rr_ramp_cfg_t e = entry_of(RR_SWLI, 5, 81);
    EXPECT_EQ(rr_derive_ramp(&base, &has_samples, &e), ERR_INVALID_PARAM);
}

TEST(ExtProfileRamp, SetUpFromTheEntryAndTheName)
{
    sysinfo_reset_all_slots();
    sysInfo& si = *sysinfo_slot(0);
    si.instrBdType = BD_CAN;
    ASSERT_EQ(sysinfo_ensure_pifoc(si), NO_ERROR);
    si.pifoc->type = 1;  // 15 slots

    rr_ramp_cfg_t e = entry_of(RR_BTW, 10, 80);
    std::strcpy(e.FileName, "extprofile12.bn");
    e.ObjMag = 50;
    e.Hide = 1;
    e.WavelenIndex = 2;
    rr_ramp_t r;
    std::string why;
    ASSERT_TRUE(rr_load_ext_profile_ramp(&si, &e, &r, &why)) << why;
    EXPECT_EQ(r.name, "extprofile12.bn");
    EXPECT_EQ(r.samples, nullptr);
    EXPECT_EQ(r.slot, 12);
    EXPECT_EQ(r.hide, 1);
    EXPECT_EQ(r.hdr.rampID, 12);
    EXPECT_EQ(r.hdr.polar, 'b');
    EXPECT_EQ(r.hdr.scanDir, 0);
    EXPECT_EQ(r.hdr.nBuckets, 125);  // 10000 / 80
    EXPECT_EQ(r.hdr.nPoints, 25000);  // 125 / 25 * 5000
    EXPECT_EQ(r.hdr.sampleClkFreq, 5.0f);
    EXPECT_EQ(r.hdr.offset, 32768);
    EXPECT_EQ(r.hdr.instrBdType, BD_CAN);
    EXPECT_EQ(r.hdr.objMag, 50.0f);
    EXPECT_EQ(r.hdr.wavelenSelect, 2);

    const struct {
        const char* name;
        int32_t type;
        float slope;
        const char* reason;
    } bad[] = {
        {"extprofile3", RR_SWLI, 80, "Invalid external profile ramp name extprofile3"},
        {"extprofile3.b", RR_SWLI, 80, "Invalid external profile ramp name extprofile3.b"},
        {"extprofile.bn", RR_SWLI, 80, "Invalid external profile ramp name extprofile.bn"},
        {"extprofile16.bp", RR_SWLI, 80, "External profile ramp index 16 is greater than maximum 15"},
        {"extprofile1.bp", RR_SWLI, 0, "External profile ramp extprofile1.bp has invalid RampSlope 0"},
        {"extprofile1.bp", RR_PMI, 80, "External profile ramp extprofile1.bp must be type SWLI or BTW"},
    };
    for (const auto& b : bad) {
        rr_ramp_cfg_t x = entry_of(b.type, 10, b.slope);
        std::strcpy(x.FileName, b.name);
        rr_ramp_t out;
        out.name = "untouched";
        why.clear();
        EXPECT_FALSE(rr_load_ext_profile_ramp(&si, &x, &out, &why)) << b.name;
        EXPECT_EQ(why, b.reason);
        EXPECT_EQ(out.name, "untouched");
    }
    std::strcpy(e.FileName, "extprofile15.ap");
    ASSERT_TRUE(rr_load_ext_profile_ramp(&si, &e, &r, nullptr));
    EXPECT_EQ(r.hdr.scanDir, 1);
    EXPECT_EQ(r.hdr.polar, 'a');
    sysinfo_reset_all_slots();
}

TEST(ExtProfileRamp, SlotCountsByBoard)
{
    sysinfo_reset_all_slots();
    sysInfo& si = *sysinfo_slot(1);
    // board, PIFOC kind (-1: none), slots
    const int32_t rows[][3] = {{BD_BOARD01, -1, 12}, {BD_FTP, -1, 12}, {BD_HXI, -1, 4}, {BD_MODEL13, -1, 4},
                               {BD_MODEL31, -1, 4},  {BD_CAN, -1, 4},  {BD_CAN, 0, 4},  {BD_CAN, 1, 15},
                               {BD_CAN, 2, 100}};
    for (const auto& row : rows) {
        si.instrBdType = row[0];
        si.pifoc.reset();
        if (row[1] >= 0 && sysinfo_ensure_pifoc(si) == NO_ERROR)
            si.pifoc->type = row[1];
        EXPECT_EQ(rr_get_max_num_instr_ramps(&si), row[2]) << row[0] << " " << row[1];
    }
    vptest::LogCapture log;
    si.instrBdType = BD_BOARD02;
    EXPECT_EQ(rr_get_max_num_instr_ramps(&si), 0);
    EXPECT_EQ(log.str(), "rr_get_max_num_instr_ramps: unknown instrBdType 2\n");
    sysinfo_reset_all_slots();
}

}  // namespace
