// Light-level control against the virtual light devices, on the virtual clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_events.h"
#include "vell/instrument/llc.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/sim/llc_devices.h"
#include "tests/support/test_support.h"

namespace {

using dv = std::vector<double>;

// A board row backed by the virtual LLC instrument, to drive the table's logic with a light of
// a wider range than any board's: the level goes out as it is, the mode and settled flag are
// recorded. The boards' own rows are tested against their devices in llc_boards_test.cpp.
struct fake_board {
    static inline std::vector<std::pair<int32_t, uint16_t>> mode_sets;
    static inline int stable_asks = 0;
    static inline int settles_on = 0;  // 0: never
    static int32_t set(SysInfo&, uint16_t l) { return vllc::llc_instr_set(l) == 0 ? NO_ERROR : ERR_HW_FAIL; }
    static int32_t read(SysInfo&, uint16_t* l)
    {
        int32_t v = 0;
        if (vllc::llc_instr_read(&v) != 0)
            return ERR_HW_FAIL;
        *l = static_cast<uint16_t>(v);
        return NO_ERROR;
    }
    static int32_t mode_set(SysInfo&, int32_t m, uint16_t l)
    {
        mode_sets.emplace_back(m, l);
        return NO_ERROR;
    }
    static int32_t stable(SysInfo&, bool* settled)
    {
        *settled = ++stable_asks == settles_on;
        return NO_ERROR;
    }
    static ac_llc_board_ops ops() { return {set, read, mode_set, nullptr, stable, nullptr, nullptr, nullptr}; }
};

class Llc : public ::testing::Test {
protected:
    void SetUp() override
    {
        sysinfo_reset_all_slots();
        vllc::reset();
        ac_llc_reset_boards();
        const ac_llc_host_ops host{vllc::llc_instr_set, vllc::llc_instr_read, vllc::mc_light_set,
                                   vllc::mc_light_read, vllc::shutter_set,    vllc::shutter_read};
        ac_llc_set_host(&host);
        fake_board::mode_sets.clear();
        fake_board::stable_asks = 0;
        fake_board::settles_on = 0;
        info_ = sysinfo_slot(0);
        board(BD_MODEL13, SYS_MODEL01);
        range(0, 4095);
        u_vclock_clear_sleeps();
    }
    void TearDown() override
    {
        ac_llc_set_host(nullptr);
        ac_llc_reset_boards();
        vllc::reset();
        sysinfo_reset_all_slots();
    }
    void board(int32_t b, int32_t sys)
    {
        info_->instrBdType = b;
        info_->sysType = sys;
    }
    void range(uint16_t lo, uint16_t hi)
    {
        info_->currentLight().rangeLow = lo;
        info_->currentLight().rangeHigh = hi;
    }
    void levels(int32_t mode, int16_t level, int16_t prev)
    {
        LightRun& s = info_->currentLightRun();
        s.mode = mode;
        s.level = level;
        s.prevLevel = prev;
    }
    LightSlot& slot() { return info_->currentLight(); }
    LightRun& run() { return info_->currentLightRun(); }
    uint16_t level_of_slot() { return static_cast<uint16_t>(run().level); }

    u_virtual_clock clock_;
    vptest::LogCapture log_;
    SysInfo* info_ = nullptr;
};

TEST_F(Llc, SerialEncodingsAndDecodings)
{
    struct set_row {
        int32_t board;
        uint16_t level;
        std::vector<uint8_t> bytes;
    };
    const std::vector<set_row> sets = {
        {BD_BOARD01, 3071, {0x04, 0x00}}, {BD_BOARD01, 0, {0x0F, 0xFF}}, {BD_BOARD01, 4095, {0x00, 0x00}},
        {BD_BOARD01, 4096, {}},           {BD_FTP, 0, {0x0E, 0x65}},     {BD_FTP, 3685, {0x00, 0x00}},
        {BD_FTP, 3686, {}},               {BD_HXI, 159, {159}},          {BD_HXI, 160, {}},
        {BD_MODEL31, 255, {255}},         {BD_MODEL31, 256, {}},         {BD_CAN, 10, {}},
        {BD_MODEL13, 10, {}},
    };
    for (const set_row& r : sets) {
        uint8_t out[3] = {};
        const std::size_t n = ac_llc_encode_set(r.board, r.level, out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + n), r.bytes) << r.board << " " << r.level;
    }

    struct mode_row {
        int32_t board;
        int32_t mode;
        uint16_t level;
        std::vector<uint8_t> bytes;
    };
    // Board01's mode-set carries the level as it is, not complemented like its set.
    const std::vector<mode_row> modes = {
        {BD_BOARD01, 0, 3071, {0, 0x0B, 0xFF}}, {BD_BOARD01, 2, 1, {2, 0x00, 0x01}}, {BD_HXI, 0, 100, {0, 100}},
        {BD_HXI, 2, 159, {2, 159}},             {BD_HXI, 3, 10, {}},                 {BD_HXI, 1, 160, {}},
        {BD_FTP, 0, 10, {}},                    {BD_MODEL31, 0, 10, {}},
    };
    for (const mode_row& r : modes) {
        uint8_t out[3] = {};
        const std::size_t n = ac_llc_encode_mode_set(r.board, r.mode, r.level, out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + n), r.bytes) << r.board << " " << r.mode << " " << r.level;
    }

    struct read_row {
        int32_t board;
        std::vector<uint8_t> answer;
        bool ok;
        uint16_t level;
    };
    const std::vector<read_row> reads = {
        {BD_BOARD01, {0x04, 0x00}, true, 3071}, {BD_BOARD01, {0x00, 0x00}, true, 4095},
        {BD_BOARD01, {0x10, 0x00}, true, 0},    {BD_BOARD01, {0xFF, 0xFF}, true, 0},
        {BD_BOARD01, {0x04}, false, 0},         {BD_FTP, {0x0E, 0x65}, true, 0},
        {BD_FTP, {0x00, 0x64}, true, 3585},     {BD_FTP, {0x0E, 0x66}, true, 0},
        {BD_HXI, {100}, true, 100},             {BD_HXI, {200}, true, 159},
        {BD_MODEL31, {255}, true, 255},         {BD_MODEL31, {}, false, 0},
        {BD_CAN, {1, 2}, false, 0},
    };
    for (const read_row& r : reads) {
        uint16_t level = 0;
        EXPECT_EQ(ac_llc_decode_read(r.board, r.answer.data(), r.answer.size(), &level), r.ok) << r.board;
        if (r.ok) {
            EXPECT_EQ(level, r.level) << r.board;
        }
    }
    // No answer decodes beyond the board's limit.
    for (int32_t b : {BD_BOARD01, BD_FTP}) {
        const uint16_t limit = b == BD_BOARD01 ? 4095 : 3685;
        for (uint32_t v = 0; v <= 0xFFFF; ++v) {
            const uint8_t answer[2] = {uint8_t(v >> 8), uint8_t(v)};
            uint16_t level = 0xFFFF;
            ASSERT_TRUE(ac_llc_decode_read(b, answer, 2, &level));
            ASSERT_EQ(level, v <= limit ? limit - v : 0) << b << " " << v;
        }
    }
    // Every set level reads back as itself.
    for (int32_t b : {BD_BOARD01, BD_FTP, BD_HXI, BD_MODEL31}) {
        for (uint16_t l = 0; l <= 4096; ++l) {
            uint8_t out[3] = {};
            const std::size_t n = ac_llc_encode_set(b, l, out);
            if (n == 0)
                continue;
            uint16_t back = 0xFFFF;
            ASSERT_TRUE(ac_llc_decode_read(b, out, n, &back));
            ASSERT_EQ(back, l) << b;
        }
    }
}

TEST_F(Llc, HostDevicesByBoardAndSystem)
{
    struct row {
        const char* what;
        int32_t board;
        int32_t sys;
        int32_t llc_instr;
        int32_t camera;
        int32_t level;
        int32_t rc;
        vllc::device dev;
        double sent;       // the device value set
        uint16_t stored;   // level afterwards
        uint16_t read;     // level read back
    };
    const std::vector<row> rows = {
        {"mc light", BD_MODEL13, SYS_MODEL01, LLC_INSTR_NONE, 0, 1000, NO_ERROR, vllc::MC_LIGHT, 3095, 1000, 1000},
        {"mc light top", BD_MODEL13, SYS_MODEL01, LLC_INSTR_NONE, 0, 4095, NO_ERROR, vllc::MC_LIGHT, 0, 4095, 4095},
        {"mc light over", BD_MODEL13, SYS_MODEL01, LLC_INSTR_NONE, 0, 4096, ERR_PARAM_OUT_OF_RANGE, vllc::MC_LIGHT, 0, 7, 0},
        {"llc instr", BD_MODEL13, SYS_MODEL14, LLC_INSTR_DD100MC, 0, 9000, NO_ERROR, vllc::LLC_INSTR, 9000, 9000, 9000},
        {"llc instr over", BD_MODEL13, SYS_MODEL14, LLC_INSTR_DD100MC_B, 0, 10001, ERR_PARAM_OUT_OF_RANGE, vllc::LLC_INSTR, 0, 7, 0},
        {"model13 llc", BD_MODEL13, SYS_MODEL14, LLC_INSTR_MODEL13, 0, 95, NO_ERROR, vllc::MC_LIGHT, 4000, 95, 95},
        {"shutter 1024", BD_MODEL13, SYS_MODEL07, LLC_INSTR_NONE, CAM_DGFLY1024, 300, NO_ERROR, vllc::SHUTTER, 500, 300, 300},
        {"shutter min", BD_MODEL13, SYS_MODEL07, LLC_INSTR_NONE, CAM_DGFLY1024, 799, NO_ERROR, vllc::SHUTTER, 2, 799, 798},
        {"shutter top", BD_MODEL13, SYS_MODEL07, LLC_INSTR_NONE, CAM_DGFLY1024, 801, ERR_PARAM_OUT_OF_RANGE, vllc::SHUTTER, 0, 7, 0},
        {"shutter low", BD_MODEL13, SYS_MODEL07, LLC_INSTR_NONE, CAM_DGFLY1024, 1, ERR_PARAM_OUT_OF_RANGE, vllc::SHUTTER, 0, 7, 0},
        {"shutter other cam", BD_NOTNEEDED, SYS_MODEL07, LLC_INSTR_NONE, CAM_DGFLY640, 100, NO_ERROR, vllc::SHUTTER, 432, 100, 100},
        {"shutter other top", BD_NOTNEEDED, SYS_MODEL07, LLC_INSTR_NONE, CAM_DGFLY640, 533, ERR_PARAM_OUT_OF_RANGE, vllc::SHUTTER, 0, 7, 0},
        {"notneeded other", BD_NOTNEEDED, SYS_MODEL01, LLC_INSTR_NONE, 0, 100, ERR_WRONG_SYSTEM_TYPE, vllc::MC_LIGHT, 0, 7, 0},
        {"board02", BD_BOARD02, SYS_MODEL01, LLC_INSTR_NONE, 0, 100, ERR_WRONG_INSTR_BOARD, vllc::MC_LIGHT, 0, 7, 0},
        {"no board", BD_NONE, SYS_MODEL01, LLC_INSTR_NONE, 0, 100, ERR_WRONG_INSTR_BOARD, vllc::MC_LIGHT, 0, 7, 0},
    };
    range(0, 20000);
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        vllc::reset();
        board(r.board, r.sys);
        info_->llcInstrType = r.llc_instr;
        info_->cameraType = r.camera;
        levels(2, 7, 5);
        EXPECT_EQ(ac_llc_set_level(info_, r.level), r.rc);
        uint16_t level = 0;
        ASSERT_EQ(ac_llc_get_level(info_, &level), NO_ERROR);
        EXPECT_EQ(level, r.stored);
        if (r.rc != NO_ERROR) {
            // Nothing sent, nothing changed.
            EXPECT_TRUE(vllc::sets(vllc::LLC_INSTR).empty());
            EXPECT_TRUE(vllc::sets(vllc::MC_LIGHT).empty());
            EXPECT_TRUE(vllc::sets(vllc::SHUTTER).empty());
            EXPECT_EQ(run().mode, 2);
            EXPECT_EQ(run().prevLevel, 5);
            continue;
        }
        EXPECT_EQ(vllc::sets(r.dev), dv{r.sent});
        EXPECT_EQ(run().mode, 0);
        EXPECT_EQ(run().prevLevel, 7);
        uint16_t back = 0;
        EXPECT_EQ(ac_llc_read_level(info_, &back), NO_ERROR);
        EXPECT_EQ(back, r.read);
        EXPECT_EQ(level_of_slot(), r.read);
        EXPECT_EQ(run().prevLevel, 7);  // a read leaves the previous level alone
    }
    EXPECT_EQ(log_.str(), "");
}

TEST_F(Llc, DeviceFailuresAreHardwareFailuresAndChangeNothing)
{
    levels(1, 100, 50);
    vllc::fail_sets(vllc::MC_LIGHT, true);
    EXPECT_EQ(ac_llc_set_level(info_, 200), ERR_HW_FAIL);
    EXPECT_EQ(run().mode, 1);
    EXPECT_EQ(run().level, 100);
    EXPECT_EQ(run().prevLevel, 50);
    vllc::fail_reads(vllc::MC_LIGHT, true);
    uint16_t level = 99;
    EXPECT_EQ(ac_llc_read_level(info_, &level), ERR_HW_FAIL);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(run().level, 100);
    // No host devices installed at all.
    ac_llc_set_host(nullptr);
    EXPECT_EQ(ac_llc_set_level(info_, 200), ERR_HW_FAIL);
    EXPECT_EQ(ac_llc_read_level(info_, &level), ERR_HW_FAIL);
    // A device value beyond the output's range reads as the bottom, not as a wrapped level.
    const ac_llc_host_ops host{nullptr, nullptr, vllc::mc_light_set, vllc::mc_light_read, nullptr, nullptr};
    ac_llc_set_host(&host);
    vllc::reset();
    vllc::put(vllc::MC_LIGHT, 5000);
    EXPECT_EQ(ac_llc_read_level(info_, &level), NO_ERROR);
    EXPECT_EQ(level, 0);
    vllc::put(vllc::MC_LIGHT, -10);
    EXPECT_EQ(ac_llc_read_level(info_, &level), NO_ERROR);
    EXPECT_EQ(level, 4095);
}

TEST_F(Llc, ClampingPercentagesAndConversions)
{
    struct row {
        const char* what;
        uint16_t lo, hi;
        int16_t current;
        int op;  // 0 set level, 1 absolute percent, 2 relative percent
        float arg;
        int32_t rc;
        int16_t level;  // afterwards
    };
    const std::vector<row> rows = {
        {"over the range", 10, 159, 50, 0, 200, NO_ERROR, 159},
        {"under the range", 10, 159, 50, 0, 3, NO_ERROR, 10},
        {"negative", 10, 159, 50, 0, -5, NO_ERROR, 10},
        {"25 percent", 0, 4095, 0, 1, 25, NO_ERROR, 3071},
        {"0 percent is the top", 0, 4095, 0, 1, 0, NO_ERROR, 4095},
        {"100 percent the bottom", 100, 4095, 0, 1, 100, NO_ERROR, 100},
        {"over 100", 100, 4095, 0, 1, 250, NO_ERROR, 100},
        {"under 0", 100, 4095, 0, 1, -1, NO_ERROR, 4095},
        {"relative from 50", 0, 100, 50, 2, 10, NO_ERROR, 40},
        {"relative down", 0, 100, 50, 2, -20, NO_ERROR, 70},
        {"relative past 100", 0, 100, 50, 2, 80, NO_ERROR, 0},
        {"relative empty range", 100, 100, 100, 2, 10, ERR_PARAM_OUT_OF_RANGE, 100},
        {"relative inverted range", 200, 100, 100, 2, 10, ERR_PARAM_OUT_OF_RANGE, 100},
        {"absolute empty range", 100, 100, 7, 1, 30, NO_ERROR, 100},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        vllc::reset();
        range(r.lo, r.hi);
        levels(0, r.current, 0);
        int32_t rc = 0;
        if (r.op == 0)
            rc = ac_llc_set_level(info_, static_cast<int32_t>(r.arg));
        else
            rc = ac_llc_set_percent(info_, r.arg, r.op == 1);
        EXPECT_EQ(rc, r.rc);
        EXPECT_EQ(run().level, r.level);
        const dv expected = rc == NO_ERROR ? dv{4095.0 - r.level} : dv{};
        EXPECT_EQ(vllc::sets(vllc::MC_LIGHT), expected);
    }

    float pct = -1, step = -1;
    range(0, 4095);
    levels(0, 3071, 0);
    EXPECT_EQ(ac_llc_get_percent(info_, &pct), NO_ERROR);
    EXPECT_FLOAT_EQ(pct, 100.0f * 1024 / 4095);
    EXPECT_EQ(ac_llc_percent_step(info_, &step), NO_ERROR);
    EXPECT_FLOAT_EQ(step, 100.0f / 4095);
    for (uint16_t hi : {uint16_t(100), uint16_t(99)}) {
        range(100, hi);
        EXPECT_EQ(ac_llc_get_percent(info_, &pct), ERR_PARAM_OUT_OF_RANGE);
        EXPECT_EQ(pct, 0.0f);
        EXPECT_EQ(ac_llc_percent_step(info_, &step), ERR_PARAM_OUT_OF_RANGE);
        EXPECT_EQ(step, 0.0f);
        EXPECT_EQ(ac_llc_value_from_level(*info_, 100, 0, 10), 0.0);
    }

    // Value to level and back.
    range(0, 100);
    struct map_row {
        double v, a, b;
        uint16_t level;
    };
    const std::vector<map_row> maps = {
        {2.5, 0, 10, 25}, {0.05, 0, 10, 1}, {0.04, 0, 10, 0}, {-1, 0, 10, 0}, {20, 0, 10, 100},
        {5, 10, 10, 0},   {5, 10, 0, 0},    {15, 10, 20, 50},
    };
    for (const map_row& m : maps)
        EXPECT_EQ(ac_llc_level_from_value(*info_, m.v, m.a, m.b), m.level) << m.v << " " << m.a << " " << m.b;
    for (int32_t l = 0; l <= 100; ++l)
        EXPECT_EQ(ac_llc_level_from_value(*info_, ac_llc_value_from_level(*info_, l, -3, 7), -3, 7), l);
    EXPECT_EQ(ac_llc_value_from_level(*info_, 500, -3, 7), 7.0);
    EXPECT_EQ(ac_llc_value_from_level(*info_, -500, -3, 7), -3.0);
}

TEST_F(Llc, RestoreSetsThePreviousLevelAgain)
{
    ASSERT_EQ(ac_llc_set_level(info_, 100), NO_ERROR);
    ASSERT_EQ(ac_llc_set_level(info_, 200), NO_ERROR);
    EXPECT_EQ(ac_llc_restore_level(info_), NO_ERROR);
    EXPECT_EQ(run().level, 100);
    EXPECT_EQ(run().prevLevel, 200);
    EXPECT_EQ(vllc::sets(vllc::MC_LIGHT), (dv{3995, 3895, 3995}));
}

TEST_F(Llc, ModeChecksItsArgumentFirstOnEveryBoard)
{
    for (int32_t b = 0; b < AC_LLC_NUM_BOARDS; ++b) {
        board(b, SYS_MODEL19);
        levels(0, 5, 4);
        EXPECT_EQ(ac_llc_mode(info_, 3), ERR_INVALID_PARAM) << b;
        EXPECT_EQ(ac_llc_mode(info_, -1), ERR_INVALID_PARAM) << b;
        EXPECT_EQ(run().level, 5);
        EXPECT_EQ(run().mode, 0);
    }
    // No automatic control on Board01: success, nothing changes.
    board(BD_BOARD01, SYS_MODEL01);
    levels(0, 5, 4);
    EXPECT_EQ(ac_llc_mode(info_, 1), NO_ERROR);
    EXPECT_EQ(run().mode, 0);
    EXPECT_EQ(run().level, 5);
    EXPECT_EQ(log_.str(), "");

    // Manual on a host board: the level read becomes the level.
    board(BD_MODEL13, SYS_MODEL01);
    levels(2, 5, 4);
    vllc::put(vllc::MC_LIGHT, 4000);
    EXPECT_EQ(ac_llc_mode(info_, 0), NO_ERROR);
    EXPECT_EQ(run().mode, 0);
    EXPECT_EQ(run().level, 95);
    EXPECT_EQ(run().prevLevel, 95);

    // HXI with its mode-set: automatic takes the target.
    ac_llc_set_board(BD_HXI, fake_board::ops());
    board(BD_HXI, SYS_HXI);
    range(0, 159);
    slot().target = 120;
    levels(0, 30, 4);
    EXPECT_EQ(ac_llc_mode(info_, 2), NO_ERROR);
    EXPECT_EQ(run().mode, 2);
    EXPECT_EQ(run().level, 120);
    EXPECT_EQ(run().prevLevel, 30);
    // Setting a level while automatic goes through the mode-set with mode 0.
    EXPECT_EQ(ac_llc_set_level(info_, 80), NO_ERROR);
    EXPECT_EQ(fake_board::mode_sets, (std::vector<std::pair<int32_t, uint16_t>>{{2, 120}, {0, 80}}));
    EXPECT_TRUE(vllc::sets(vllc::LLC_INSTR).empty());
    EXPECT_EQ(run().mode, 0);

    // The built-in HXI row without its board link brought up: the mode-set fails, nothing changes.
    ac_llc_reset_boards();
    levels(0, 30, 4);
    EXPECT_EQ(ac_llc_mode(info_, 1), ERR_SYS_INFO_NOT_AVAIL);
    EXPECT_EQ(log_.str(), "ac_llc_mode: uz_write_llcMode failed\n");
    EXPECT_EQ(run().mode, 0);
    EXPECT_EQ(run().level, 30);
}

TEST_F(Llc, BoardSpecialCases)
{
    // Board01 whose current light slot is 1 ignores the set.
    board(BD_BOARD01, SYS_MODEL01);
    info_->curLightSlot = 1;
    range(0, 4095);
    levels(0, 9, 8);
    EXPECT_EQ(ac_llc_set_level(info_, 100), NO_ERROR);
    EXPECT_EQ(run().level, 9);
    info_->curLightSlot = 0;
    EXPECT_EQ(ac_llc_set_level(info_, 100), ERR_SYS_INFO_NOT_AVAIL);  // no board link for the slot

    // CAN systems with automatic control but no ND wheel send nothing and read 0.
    board(BD_CAN, SYS_MODEL19);
    info_->focusNdwPresent = 0;
    levels(0, 9, 8);
    EXPECT_EQ(ac_llc_set_level(info_, 100), NO_ERROR);
    EXPECT_EQ(run().level, 100);
    uint16_t level = 1;
    int32_t value = 1;
    EXPECT_EQ(ac_llc_read_level_mode(info_, &level, &value), NO_ERROR);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(value, 0);

    // Set-and-wait with the current level: nothing on FTP, a set and a wait on HXI.
    board(BD_FTP, SYS_FTP);
    levels(0, 100, 8);
    EXPECT_EQ(ac_llc_set_level_wait(info_, 100), NO_ERROR);
    EXPECT_TRUE(u_vclock_sleeps().empty());
    EXPECT_EQ(ac_llc_set_level_wait(info_, 101), ERR_SYS_INFO_NOT_AVAIL);

    ac_llc_set_board(BD_HXI, fake_board::ops());
    board(BD_HXI, SYS_HXI);
    range(0, 159);
    levels(0, 100, 8);
    fake_board::settles_on = 2;
    const uint64_t t0 = u_now_ms();
    EXPECT_EQ(ac_llc_set_level_wait(info_, 100), NO_ERROR);
    EXPECT_EQ(vllc::sets(vllc::LLC_INSTR), dv{100});
    EXPECT_EQ(u_now_ms() - t0, 500u);
    EXPECT_EQ(run().prevLevel, 100);
    EXPECT_EQ(log_.str(), "");
}

TEST_F(Llc, WaitsByBoard)
{
    struct row {
        const char* what;
        int32_t board;
        int32_t sys;
        int32_t camera;
        int32_t mode;
        int32_t rc;
        std::vector<uint32_t> sleeps;
        const char* log;
    };
    const std::vector<uint32_t> polls(80, 250);
    const std::vector<row> rows = {
        {"can other", BD_CAN, SYS_MODEL01, 0, 0, NO_ERROR, {250}, ""},
        {"can no nd event", BD_CAN, SYS_MODEL19, 0, 0, NO_ERROR, {1300}, ""},
        {"board01", BD_BOARD01, SYS_MODEL01, 0, 0, NO_ERROR, {700}, ""},
        {"board01 auto", BD_BOARD01, SYS_MODEL01, 0, 1, ERR_INVALID_PARAM, {}, ""},
        {"board01 mode 2", BD_BOARD01, SYS_MODEL01, 0, 2, NO_ERROR, {700}, ""},
        {"model07 dgfly640", BD_MODEL13, SYS_MODEL07, CAM_DGFLY640, 0, NO_ERROR, {200}, ""},
        {"model07 dgfly1024", BD_NOTNEEDED, SYS_MODEL07, CAM_DGFLY1024, 0, NO_ERROR, {200}, ""},
        {"model07 other camera", BD_MODEL13, SYS_MODEL07, CAM_DGFLY6200, 0, NO_ERROR, {}, ""},
        {"model13", BD_MODEL13, SYS_MODEL01, 0, 0, NO_ERROR, {50}, ""},
        {"model13 auto", BD_NOTNEEDED, SYS_MODEL07, 0, 1, ERR_INVALID_PARAM, {}, ""},
        {"ftp", BD_FTP, SYS_FTP, 0, 0, NO_ERROR, {1000}, ""},
        {"ftp auto", BD_FTP, SYS_FTP, 0, 1, ERR_INVALID_PARAM, {}, ""},
        {"board02 never settles", BD_BOARD02, SYS_MODEL01, 0, 0, ERR_HW_FAIL, polls, "ac_llc_wait: LLC unstable\n"},
        {"hxi without its link", BD_HXI, SYS_HXI, 0, 0, ERR_SYS_INFO_NOT_AVAIL, {250}, "ac_llc_wait: uz_llc_stable failed\n"},
        {"model31 read without its link", BD_MODEL31, SYS_MODEL31, 0, 1, ERR_SYS_INFO_NOT_AVAIL, {250}, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        board(r.board, r.sys);
        info_->cameraType = r.camera;
        levels(r.mode, 10, 0);
        log_.clear();
        u_vclock_clear_sleeps();
        const uint64_t t0 = u_now_ms();
        EXPECT_EQ(ac_llc_wait(info_), r.rc);
        EXPECT_EQ(u_vclock_sleeps(), r.sleeps);
        uint64_t total = 0;
        for (uint32_t s : r.sleeps)
            total += s;
        EXPECT_EQ(u_now_ms() - t0, total);
        EXPECT_EQ(log_.str(), r.log);
    }
}

TEST_F(Llc, PollingWaitAgainstASettlingLight)
{
    // A board without limits, so that the light can move far enough between polls.
    ac_llc_set_board(BD_BOARD02, fake_board::ops());
    board(BD_BOARD02, SYS_MODEL01);
    range(0, 10000);
    struct row {
        const char* what;
        int32_t mode;
        uint32_t settle_ms;
        int settles_on;  // stable answers (mode 0)
        int32_t rc;
        uint64_t elapsed;
        const char* log;
    };
    const std::vector<row> rows = {
        // Read at 250 ms, then polls 250 ms apart: the 80th poll (20250 ms) is the first to
        // find the level unchanged since the 79th (20000 ms).
        {"settles on the 80th poll", 1, 20000, 0, NO_ERROR, 20250, ""},
        {"settles on the 2nd poll", 1, 500, 0, NO_ERROR, 750, ""},
        {"never settles", 1, 30000, 0, ERR_HW_FAIL, 20250, "ac_llc_wait: LLC unstable\n"},
        // Mode 2 starts from the current level, which the light already holds.
        {"mode 2 from the current level", 2, 0, 0, NO_ERROR, 250, ""},
        {"board says settled on the 80th", 0, 0, 80, NO_ERROR, 20000, ""},
        {"board never says settled", 0, 0, 0, ERR_HW_FAIL, 20000, "ac_llc_wait: LLC unstable\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        vllc::reset();
        vllc::put(vllc::LLC_INSTR, 0);
        vllc::set_settle_ms(vllc::LLC_INSTR, r.settle_ms);
        ASSERT_EQ(vllc::llc_instr_set(4000), 0);
        levels(r.mode, 4000, 0);
        fake_board::stable_asks = 0;
        fake_board::settles_on = r.settles_on;
        log_.clear();
        const uint64_t t0 = u_now_ms();
        EXPECT_EQ(ac_llc_wait(info_), r.rc);
        EXPECT_EQ(u_now_ms() - t0, r.elapsed);
        EXPECT_EQ(log_.str(), r.log);
    }
    // A failing read ends the wait with its code.
    levels(1, 4000, 0);
    vllc::fail_reads(vllc::LLC_INSTR, true);
    EXPECT_EQ(ac_llc_wait(info_), ERR_HW_FAIL);
}

TEST_F(Llc, NdWheelWaitRunsTheEventPump)
{
    ASSERT_EQ(CanCreateSyncObjects(), NO_ERROR);
    can_events_reset();
    board(BD_CAN, SYS_MODEL19);
    const std::size_t handles = u_open_handle_count();
    u_handle stopped = nullptr;
    ASSERT_EQ(u_event_create(true, false, CAN_NDWHEEL_STOPPED, &stopped), NO_ERROR);

    // The wheel never reports: 300 waits of 10 ms, then a hardware failure.
    uint64_t t0 = u_now_ms();
    EXPECT_EQ(ac_llc_wait(info_), ERR_HW_FAIL);
    EXPECT_EQ(u_now_ms() - t0, 3000u);
    EXPECT_EQ(u_open_handle_count(), handles + 1);

    // The wheel's PDOs are waiting in the queue: the first pump decodes "moving, stopped" and
    // signals the event, so the second wait ends it.
    const uint32_t cob = 0x280 | 64;
    const uint8_t moving[1] = {0x02};
    const uint8_t still[1] = {0x00};
    can_pass_pdo(cob, 1, moving);
    can_pass_pdo(cob, 1, still);
    t0 = u_now_ms();
    EXPECT_EQ(ac_llc_wait(info_), NO_ERROR);
    EXPECT_EQ(u_now_ms() - t0, 10u);

    // Already signalled: no wait at all.
    t0 = u_now_ms();
    EXPECT_EQ(ac_llc_wait(info_), NO_ERROR);
    EXPECT_EQ(u_now_ms() - t0, 0u);
    u_close_handle(stopped);
    EXPECT_EQ(u_open_handle_count(), handles);
    can_events_reset();
}

}  // namespace
