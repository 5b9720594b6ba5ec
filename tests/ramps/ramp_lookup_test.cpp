// Computations over ramps and the ramp set: offset crossing, order, IDs, matching.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/ramps/ramp_set.h"
#include "tests/support/test_support.h"

namespace {

// A SWLI ramp rising by 100 per sample from 0; 100 Hz camera, 81 nm per frame.
rr_ramp_t rising(int32_t n, int32_t offset, int32_t trigStart)
{
    rr_ramp_t r;
    r.hdr.rampType = RR_SWLI;
    r.hdr.nPoints = n;
    r.hdr.offset = offset;
    r.hdr.trigStartAddr = trigStart;
    r.hdr.cameraRate = 100;
    r.hdr.rampSlope = 81;
    r.hdr.scanDir = 1;
    auto* p = static_cast<uint16_t*>(u_malloc(static_cast<std::size_t>(n) * sizeof(uint16_t)));
    for (int32_t i = 0; i < n; ++i)
        p[i] = static_cast<uint16_t>(100 * i);
    r.samples.reset(p);
    return r;
}

TEST(OffsetCrossing, WorkedExampleAndEdges)
{
    struct row {
        const char* what;
        int32_t offset, trigStart, scanDir;
        double clock, rate;
        int32_t type;
        int32_t rc;
        double time;
    } rows[] = {
        // Crossing at sample 31 at 2 kHz (15.5 ms), first full frame after the trigger at 10 ms.
        {"worked example", 3100, 10, 1, 2.0, 100, RR_SWLI, NO_ERROR, 0.0055},
        {"between samples", 3050, 10, 1, 2.0, 100, RR_SWLI, NO_ERROR, 30.5 / 2000 - 0.01},
        {"reached at sample 0", 0, 0, 1, 2.0, 100, RR_SWLI, NO_ERROR, 0.0},
        // The sample before the trigger already lies past the offset: no interpolation.
        {"reached before the trigger", 500, 10, 1, 2.0, 100, RR_SWLI, NO_ERROR, 10 / 2000.0 - 0.01},
        {"falling scan crosses at once", 3100, 10, 0, 2.0, 100, RR_SWLI, NO_ERROR, 10 / 2000.0 - 0.01},
        {"no crossing", 70000, 10, 1, 2.0, 100, RR_SWLI, ERR_CORRUPT_RAMP_FILE, 0},
        {"trigger past the samples", 3100, 40, 1, 2.0, 100, RR_SWLI, ERR_CORRUPT_RAMP_FILE, 0},
        {"clock 0", 3100, 10, 1, 0.0, 100, RR_SWLI, ERR_INVALID_PARAM, 0},
        {"camera rate 0", 3100, 10, 1, 2.0, 0, RR_SWLI, ERR_INVALID_PARAM, 0},
        {"PMI", 3100, 10, 1, 2.0, 100, RR_PMI, ERR_INVALID_PARAM, 0},
    };
    for (const row& w : rows) {
        rr_ramp_t r = rising(40, w.offset, w.trigStart);
        r.hdr.scanDir = w.scanDir;
        r.hdr.cameraRate = static_cast<float>(w.rate);
        r.hdr.rampType = w.type;
        r.offsetCrossTime = -99;
        EXPECT_EQ(rr_calc_time_til_offset_crossing(&r, w.clock), w.rc) << w.what;
        if (w.rc == NO_ERROR)
            EXPECT_NEAR(r.offsetCrossTime, w.time, 1e-12) << w.what;
        else
            EXPECT_EQ(r.offsetCrossTime, -99) << w.what;
    }
    rr_ramp_t r = rising(40, 3100, 10);
    ASSERT_EQ(rr_calc_time_til_offset_crossing(&r, 2.0), NO_ERROR);
    double um = 0;
    ASSERT_EQ(rr_get_offset_crossing_pos(&r, &um), NO_ERROR);
    EXPECT_NEAR(um, 0.04455, 1e-12);
    rr_ramp_t empty;
    empty.hdr.rampType = RR_SWLI;
    EXPECT_EQ(rr_calc_time_til_offset_crossing(&empty, 2.0), ERR_NO_RAMP_INFO);
    EXPECT_EQ(rr_get_offset_crossing_pos(nullptr, &um), ERR_NO_RAMP_INFO);
}

TEST(RampOrder, AscendingKeysNanLastStable)
{
    std::vector<rr_ramp_t> v(6);
    const double keys[] = {3, NAN, 1, 3, NAN, -2};
    for (int i = 0; i < 6; ++i) {
        v[i].sortKey = keys[i];
        v[i].name = std::to_string(i);
    }
    rr_sort_ramps(v);
    std::string order;
    for (const rr_ramp_t& r : v)
        order += r.name;
    EXPECT_EQ(order, "520314");
}

class RampSet : public ::testing::Test {
protected:
    void SetUp() override
    {
        sysinfo_reset_all_slots();
        si = sysinfo_slot(0);
        si->sysType = SYS_MODEL05;
        si->instrBdType = BD_BOARD01;
        set = rr_instr_ramps(si);
        set->haveSet = true;
    }
    void TearDown() override
    {
        sysinfo_reset_all_slots();
    }
    rr_ramp_t& add(int32_t type, int32_t id)
    {
        set->ramps.emplace_back();
        rr_ramp_t& r = set->ramps.back();
        r.hdr.rampType = type;
        r.hdr.rampID = id;
        r.hdr.nBuckets = 7, r.hdr.scanLen = 10, r.hdr.rampMux = 0, r.hdr.cameraRate = 30, r.hdr.grabSkip = 1;
        return r;
    }
    sysInfo* si = nullptr;
    rr_instr_ramps_t* set = nullptr;
    vptest::LogCapture log;
};

TEST_F(RampSet, AssignIdTakesTheSmallestFree)
{
    add(RR_SWLI, 0), add(RR_SWLI, 1), add(RR_SWLI, 3), add(RR_SWLI, 9);
    ASSERT_EQ(rr_assign_ramp_id(si, 3), NO_ERROR);
    EXPECT_EQ(set->ramps[3].hdr.rampID, 2);
    EXPECT_EQ(rr_assign_ramp_id(si, 4), ERR_INVALID_RAMP_INDEX);
    set->ramps.clear();
    for (int32_t id = 0; id <= 254; ++id)
        add(RR_SWLI, id);
    add(RR_SWLI, 7);
    EXPECT_EQ(rr_assign_ramp_id(si, 255), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(log.str(), "rr_assign_ramp_id: no available ramp ID values\n");
    set->haveSet = false;
    EXPECT_EQ(rr_assign_ramp_id(si, 0), ERR_NO_RAMP_INFO);
}

TEST_F(RampSet, CheckAndFind)
{
    add(RR_PMI + 2, 1);  // a PMI ramp of type 3
    add(RR_SWLI, 2).hdr.instrBdType = BD_FTP;
    add(RR_SWLI, 3).hdr.instrBdType = BD_BOARD01;
    struct row {
        int32_t index, type, nBuckets;
        double scanLen;
        int32_t mux;
        double rate;
        int32_t skip;
        bool ok;
        const char* message;
    } rows[] = {
        {0, RR_PMI, 7, 0, -1, 0, -1, true, ""},
        {0, 3, 0, 0, -1, 0, -1, false, "ramp rampType = 3 (PMI)  expected 3 (PMI)"},
        {0, RR_PMI, 5, 0, -1, 0, -1, false, "ramp nBuckets = 7  expected nBuckets = 5"},
        {2, RR_SWLI, 0, 11.5, -1, 0, -1, false, "ramp scanLen = 10  expected scanLen = 11.5"},
        {2, RR_SWLI, 0, 0, 1, 0, -1, false, "ramp rampMux = 0  expected rampMux = 1"},
        {2, RR_SWLI, 0, 0, -1, 30.2, -1, false, "ramp cameraRate = 30  expected cameraRate = 30.2"},
        {2, RR_SWLI, 0, 0, -1, 0, 0, false, "ramp grabSkip = 1  expected grabSkip = 0"},
        {1, RR_SWLI, 0, 0, -1, 0, -1, false, "ramp instrBdType = 7  expected instrBdType = 1"},
        {2, RR_BTW, 0, 0, -1, 0, -1, false, "ramp rampType = 0 (SWLI)  expected 17 (BTW)"},
        {3, RR_SWLI, 0, 0, -1, 0, -1, false, "invalid rampIndex"},
    };
    for (const row& w : rows) {
        std::string message;
        EXPECT_EQ(rr_check_ramp(si, w.index, w.type, w.nBuckets, w.scanLen, w.mux, w.rate, w.skip, &message), w.ok)
            << w.message;
        EXPECT_EQ(message, w.message);
    }
    // Type and board alone: the first SWLI ramp made for any board or this one.
    EXPECT_EQ(rr_find_ramp(si, RR_SWLI, 0, 0, -1, 0, -1), 2);
    EXPECT_EQ(rr_find_ramp(si, RR_PMI, 0, 0, -1, 0, -1), 0);
    EXPECT_EQ(rr_find_ramp(si, RR_BTW, 0, 0, -1, 0, -1), -1);
    std::string message;
    EXPECT_FALSE(rr_check_ramp(nullptr, 0, RR_SWLI, 0, 0, -1, 0, -1, &message));
    EXPECT_EQ(message, "invalid sysInfo");
    EXPECT_EQ(rr_find_ramp(nullptr, RR_SWLI, 0, 0, -1, 0, -1), -1);
}

}  // namespace

namespace {

// The duration follows the board type the ramp was made for: a ramp of an HXI or Model31 board
// plays updateRate + 1 clocks per sample, a generic ramp one, on whatever instrument.
TEST(RampDuration, FollowsTheRampsBoardType)
{
    sysinfo_reset_all_slots();
    sysInfo* si = sysinfo_slot(0);
    si->sysType = SYS_MODEL05;
    struct row {
        int32_t instrument, ramp, ms;
    };
    const row rows[] = {
        {BD_HXI, 0, 50},       {BD_MODEL31, 0, 50}, {BD_HXI, BD_HXI, 150},
        {BD_MODEL31, BD_MODEL31, 150}, {BD_BOARD01, 0, 50},  {BD_BOARD01, BD_BOARD01, 50},
    };
    for (const row& r : rows) {
        si->instrBdType = r.instrument;
        rr_ramp_t ramp = rising(100, 5000, 10);
        ramp.hdr.sampleClkFreq = 2;  // kHz: 100 samples take 50 ms at one clock per sample
        ramp.hdr.updateRate = 2;
        ramp.hdr.instrBdType = r.ramp;
        ASSERT_EQ(rr_set_derived_values(*si, &ramp), NO_ERROR);
        EXPECT_EQ(ramp.duration, r.ms) << "instrument " << r.instrument << ", ramp " << r.ramp;
    }
    sysinfo_reset_all_slots();
}

}  // namespace
