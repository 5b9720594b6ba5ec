// Light-level control through the boards' own links, table-driven over the board kinds: the
// serial boards against the virtual controller board, the CAN systems against the virtual
// bridge's LED and ND wheel nodes; wire bytes, waits on the virtual clock, failures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_events.h"
#include "vell/instrument/llc.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/serial/board.h"
#include "vell/serial/devctl.h"
#include "vell/sim/board_device.h"
#include "vell/sim/canbridge/vcan_nodes.h"
#include "tests/can/can_fixture.h"

namespace {

using fault = sim::board_device::fault;
using strings = std::vector<std::string>;

std::string hex(const std::string& bytes)
{
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, out.empty() ? "%02X" : " %02X", c);
        out += b;
    }
    return out;
}

void tick() { vcan::ndw_tick(); }

// The gain thread's entries of the CAN row, recorded; the node operations stay the built-in ones.
struct agc_log {
    static inline strings calls;
    static inline int32_t value = 0;
    static int32_t stop(SysInfo&)
    {
        calls.push_back("stop");
        return NO_ERROR;
    }
    static int32_t start(SysInfo&, int32_t v)
    {
        calls.push_back("start " + std::to_string(v));
        value = v;
        return NO_ERROR;
    }
    static int32_t current(SysInfo&, int32_t* v)
    {
        *v = value;
        return NO_ERROR;
    }
};

class LlcBoards : public cantest::CanTest {
protected:
    void SetUp() override
    {
        CanTest::SetUp();
        ac_llc_reset_boards();
        ASSERT_EQ(dev_init_cntrl(true), NO_ERROR);
        info_ = sysinfo_slot(0);
        for (uint8_t n : {61, 64, 127})
            vcan::set_node(n);
        vcan::install_led_node();
        vcan::install_motor_driver(64);
        can_avail(sysinfo_slot(0))->canFocusNdwAvail = true;
        can_events_reset();
        agc_log::calls.clear();
        agc_log::value = 0;
        u_vclock_clear_sleeps();
    }
    void TearDown() override
    {
        u_hooks.idle = saved_idle_;
        close_board();
        dev_release_cntrl();
        ac_llc_reset_boards();
        can_events_reset();
        CanTest::TearDown();
    }
    // Slot 0 as a serial board with its link brought up to the virtual board on "COM2".
    void serial(int32_t type, int32_t sys, uint16_t lo, uint16_t hi)
    {
        close_board();
        ASSERT_EQ(sim::board_device::create("COM2", type, &device_), NO_ERROR);
        info_->instrBdType = type;
        info_->instrComm.assign("COM2");
        ASSERT_EQ(ur_initUZ(ur_board_slot(0)), NO_ERROR);
        kind(type, sys, lo, hi);
    }
    void close_board()
    {
        ur_board* b = ur_board_slot(0);
        if (b->link.handle != SIO_INVALID_HANDLE)
            ur_closeUZ(b);
        device_.reset();
    }
    void kind(int32_t board, int32_t sys, uint16_t lo, uint16_t hi, bool ndw = true)
    {
        info_->instrBdType = board;
        info_->sysType = sys;
        info_->focusNdwPresent = ndw ? 1 : 0;
        slot().rangeLow = lo;
        slot().rangeHigh = hi;
    }
    void levels(int32_t mode, int16_t level, int16_t prev)
    {
        run().mode = mode;
        run().level = level;
        run().prevLevel = prev;
    }
    // The frames the virtual board received since the last call, as hex.
    strings frames()
    {
        strings out;
        const auto all = device_->frames();
        for (std::size_t i = seen_; i < all.size(); ++i)
            out.push_back(hex(all[i].bytes));
        seen_ = all.size();
        return out;
    }
    // The SDO writes since the last call as "node index: bytes now stored".
    strings sdo_writes()
    {
        strings out;
        for (const vcan::call& c : vcan::calls_of("CAN_SDOWrite")) {
            unsigned node = 0, index = 0;
            std::sscanf(c.args.c_str(), "node=%u index=0x%x", &node, &index);
            char b[32];
            std::snprintf(b, sizeof b, "%u %04X: ", node, index);
            const std::vector<uint8_t> v = vcan::object(uint8_t(node), uint16_t(index), 0);
            out.push_back(b + hex(std::string(v.begin(), v.end())));
        }
        vcan::clear_calls();
        return out;
    }
    strings wire() { return device_ ? frames() : sdo_writes(); }
    void record_agc()
    {
        ac_llc_board_ops row = *ac_llc_board(BD_CAN);
        row.agc_stop = agc_log::stop;
        row.agc_start = agc_log::start;
        row.agc_value = agc_log::current;
        ac_llc_set_board(BD_CAN, row);
    }
    LightSlot& slot() { return info_->currentLight(); }
    LightRun& run() { return info_->currentLightRun(); }

    SysInfo* info_ = nullptr;
    std::unique_ptr<sim::board_device> device_;
    std::size_t seen_ = 0;
    void (*saved_idle_)() = u_hooks.idle;
};

// ---------------------------------------------------------------------------------------------

TEST_F(LlcBoards, SetsAndModeSetsOnTheWire)
{
    enum op { level, percent, mode };
    struct row {
        const char* what;
        int32_t board, sys;
        uint16_t lo, hi;
        int32_t start_mode;
        op what_op;
        int32_t arg;
        strings wire;
        int16_t level_after;
        int32_t mode_after;
    };
    const std::vector<row> rows = {
        // 25 percent of 0..4095 is level 3071, sent as 4095 - 3071 = 0x0400.
        {"board01 25 percent", BD_BOARD01, SYS_MODEL01, 0, 4095, 0, percent, 25, {"04 05 04 00 09"}, 3071, 0},
        {"board01 top", BD_BOARD01, SYS_MODEL01, 0, 4095, 0, level, 5000, {"04 05 00 00 05"}, 4095, 0},
        // Manual: the level read, then the mode-set with that level as it is (not complemented).
        {"board01 manual", BD_BOARD01, SYS_MODEL01, 0, 4095, 0, mode, 0, {"02 06 06", "05 07 00 0F FF 15"}, 4095, 0},
        {"board01 automatic", BD_BOARD01, SYS_MODEL01, 0, 4095, 0, mode, 1, {}, 7, 0},
        {"ftp 25 percent", BD_FTP, SYS_FTP, 0, 3685, 0, percent, 25, {"04 03 03 99 9F"}, 2764, 0},
        {"hxi clamped", BD_HXI, SYS_HXI, 10, 159, 0, level, 200, {"03 03 9F A2"}, 159, 0},
        {"hxi under", BD_HXI, SYS_HXI, 10, 159, 0, level, 3, {"03 03 0A 0D"}, 10, 0},
        {"hxi automatic takes the target", BD_HXI, SYS_HXI, 10, 159, 0, mode, 2, {"04 05 02 78 7F"}, 120, 2},
        {"hxi set while automatic", BD_HXI, SYS_HXI, 10, 159, 1, level, 80, {"04 05 00 50 55"}, 80, 0},
        {"model31", BD_MODEL31, SYS_MODEL31, 0, 255, 0, level, 255, {"03 03 FF 02"}, 255, 0},
        {"model31 automatic does nothing", BD_MODEL31, SYS_MODEL31, 0, 255, 0, mode, 1, {}, 7, 0},
        // CAN: the LED node or the ND wheel, inverted, little-endian.
        {"can led 25 percent", BD_CAN, SYS_MODEL01, 0, 4095, 0, percent, 25, {"61 2001: 00 F4"}, 3071, 0},
        {"can nd wheel", BD_CAN, SYS_MODEL19, 0, 4095, 0, level, 1, {"64 2028: FE FF"}, 1, 0},
        {"can agc without wheel", BD_CAN, SYS_MODEL24, 0, 4095, 0, level, 1, {}, 1, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.board == BD_CAN) {
            close_board();
            kind(r.board, r.sys, r.lo, r.hi, r.sys != SYS_MODEL24);
        } else {
            serial(r.board, r.sys, r.lo, r.hi);
            frames();
        }
        slot().target = 120;
        levels(r.start_mode, 7, 5);
        vcan::clear_calls();
        const int32_t rc = r.what_op == level     ? ac_llc_set_level(info_, r.arg)
                           : r.what_op == percent ? ac_llc_set_percent(info_, float(r.arg), true)
                                                  : ac_llc_mode(info_, r.arg);
        EXPECT_EQ(rc, NO_ERROR);
        EXPECT_EQ(wire(), r.wire);
        EXPECT_EQ(run().level, r.level_after);
        EXPECT_EQ(run().mode, r.mode_after);
    }
    EXPECT_EQ(log_.str(), "");
}

TEST_F(LlcBoards, ReadsDecodeTheBoardsAnswerWithinItsLimit)
{
    struct row {
        const char* what;
        int32_t board, sys;
        std::vector<uint8_t> raw;  // the board's level as it stores it (serial: LLC_SET data)
        uint16_t level;
    };
    const std::vector<row> rows = {
        {"board01", BD_BOARD01, SYS_MODEL01, {0x04, 0x00}, 3071},
        {"board01 beyond 4095 reads 0", BD_BOARD01, SYS_MODEL01, {0x80, 0x00}, 0},
        {"ftp", BD_FTP, SYS_FTP, {0x00, 0x64}, 3585},
        {"ftp beyond 3685 reads 0", BD_FTP, SYS_FTP, {0x0E, 0x66}, 0},
        {"hxi", BD_HXI, SYS_HXI, {100}, 100},
        {"hxi beyond 159", BD_HXI, SYS_HXI, {200}, 159},
        {"model31", BD_MODEL31, SYS_MODEL31, {254}, 254},
        {"can led", BD_CAN, SYS_MODEL01, {0x00, 0xF4}, 3071},
        {"can nd wheel", BD_CAN, SYS_MODEL20, {0xFE, 0xFF}, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.board == BD_CAN) {
            close_board();
            kind(r.board, r.sys, 0, 4095);
            vcan::set_object(r.sys == SYS_MODEL01 ? 61 : 64, r.sys == SYS_MODEL01 ? 0x2001 : 0x2028, 0, r.raw);
        } else {
            serial(r.board, r.sys, 0, 4095);
            const int32_t set = r.board == BD_HXI || r.board == BD_MODEL31 ? 3 : r.board == BD_FTP ? 3 : 5;
            ASSERT_EQ(ur_request(&ur_board_slot(0)->link, set, r.raw.data(), r.raw.size(), nullptr, 0), NO_ERROR);
        }
        levels(2, 7, 5);
        uint16_t got = 1;
        int32_t value = -1;
        ASSERT_EQ(ac_llc_read_level_mode(info_, &got, &value), NO_ERROR);
        EXPECT_EQ(got, r.level);
        EXPECT_EQ(run().level, int16_t(r.level));
        EXPECT_EQ(run().prevLevel, 5);
        EXPECT_EQ(run().mode, 2);
        EXPECT_EQ(value, 0);
    }
    // The HXI board's mode comes with the level.
    serial(BD_HXI, SYS_HXI, 0, 159);
    slot().target = 90;
    ASSERT_EQ(ac_llc_mode(info_, 2), NO_ERROR);
    uint16_t got = 0;
    int32_t value = 0;
    frames();
    ASSERT_EQ(ac_llc_read_level_mode(info_, &got, &value), NO_ERROR);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(got, 90);
    EXPECT_EQ(frames(), (strings{"02 04 04", "02 06 06"}));
}

TEST_F(LlcBoards, TheGainThreadAroundCanSetsAndModes)
{
    record_agc();
    kind(BD_CAN, SYS_MODEL26, 0, 4095);
    slot().target = 200;
    levels(2, 7, 5);
    ASSERT_EQ(ac_llc_set_level(info_, 1000), NO_ERROR);
    EXPECT_EQ(agc_log::calls, strings{"stop"});
    EXPECT_EQ(sdo_writes(), strings{"64 2028: 17 FC"});
    ASSERT_EQ(ac_llc_mode(info_, 2), NO_ERROR);
    EXPECT_EQ(agc_log::calls, (strings{"stop", "stop", "start 2"}));
    EXPECT_EQ(run().level, 200);
    uint16_t level = 0;
    int32_t value = 0;
    ASSERT_EQ(ac_llc_read_level_mode(info_, &level, &value), NO_ERROR);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(level, 1000);
    ASSERT_EQ(ac_llc_mode(info_, 0), NO_ERROR);
    EXPECT_EQ(agc_log::calls.back(), "stop");
    EXPECT_EQ(run().level, 1000);
    // Without the ND wheel there is no gain thread to stop; other CAN systems have none either.
    agc_log::calls.clear();
    kind(BD_CAN, SYS_MODEL26, 0, 4095, false);
    ASSERT_EQ(ac_llc_set_level(info_, 10), NO_ERROR);
    kind(BD_CAN, SYS_MODEL01, 0, 4095);
    ASSERT_EQ(ac_llc_set_level(info_, 10), NO_ERROR);
    ASSERT_EQ(ac_llc_mode(info_, 1), NO_ERROR);  // no automatic control: nothing
    EXPECT_TRUE(agc_log::calls.empty());
}

TEST_F(LlcBoards, WaitsRunAgainstTheSettlingLight)
{
    struct row {
        const char* what;
        int32_t board, sys;
        uint16_t lo, hi;
        int32_t mode;       // 1, 2: ac_llc_mode(mode) first; else set the level
        uint32_t settle_ms;
        int32_t rc;
        uint64_t elapsed;
        uint16_t level_after;  // read back after the wait
        const char* log;
    };
    const char* unstable = "ac_llc_wait: LLC unstable\n";
    const std::vector<row> rows = {
        // Mode 0: the board says when the light has settled, asked every 250 ms.
        {"hxi settles on the 80th poll", BD_HXI, SYS_HXI, 0, 159, 0, 20000, NO_ERROR, 20000, 150, ""},
        {"hxi never settles", BD_HXI, SYS_HXI, 0, 159, 0, 20001, ERR_HW_FAIL, 20000, 150, unstable},
        {"model31 settles on the 2nd poll", BD_MODEL31, SYS_MODEL31, 0, 255, 0, 500, NO_ERROR, 500, 150, ""},
        {"model31 never settles", BD_MODEL31, SYS_MODEL31, 0, 255, 0, 60000, ERR_HW_FAIL, 20000, 50, unstable},
        // Automatic: the board drives the light to the target; 0 -> 150 over 3000 ms, read at
        // 250 ms, then polls until two reads 250 ms apart differ by less than 3 (3250 ms).
        {"hxi mode 1 follows the light", BD_HXI, SYS_HXI, 0, 159, 1, 3000, NO_ERROR, 3250, 150, ""},
        // Mode 2 compares the first poll with the current level (the target), not with 0: the
        // slow light (0 at 250 ms, 1 at 500 ms) settles at the second poll.
        {"hxi mode 2 from the current level", BD_HXI, SYS_HXI, 0, 159, 2, 100000, NO_ERROR, 500, 1, ""},
        {"board01 sleeps", BD_BOARD01, SYS_MODEL01, 0, 4095, 0, 0, NO_ERROR, 700, 150, ""},
        {"ftp sleeps", BD_FTP, SYS_FTP, 0, 3685, 0, 0, NO_ERROR, 1000, 150, ""},
        {"can led settles in the 250 ms", BD_CAN, SYS_MODEL01, 0, 4095, 0, 250, NO_ERROR, 250, 150, ""},
        {"can led slower than the wait", BD_CAN, SYS_MODEL01, 0, 4095, 0, 500, NO_ERROR, 250, 75, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.board == BD_CAN) {
            close_board();
            kind(r.board, r.sys, r.lo, r.hi);
            vcan::set_object(61, 0x2001, 0, {0xFF, 0xFF});  // level 0
            vcan::led_level_settles(r.settle_ms);
        } else {
            serial(r.board, r.sys, r.lo, r.hi);
            device_->set_settle_ms(r.settle_ms);
        }
        levels(0, 0, 0);
        slot().target = 150;
        log_.clear();
        const uint64_t t0 = u_now_ms();
        if (r.mode == 0) {
            EXPECT_EQ(ac_llc_set_level_wait(info_, 150), r.rc);
        } else {
            ASSERT_EQ(ac_llc_mode(info_, r.mode), NO_ERROR);
            EXPECT_EQ(ac_llc_wait(info_), r.rc);
        }
        EXPECT_EQ(u_now_ms() - t0, r.elapsed);
        EXPECT_EQ(log_.str(), r.log);
        if (r.board == BD_BOARD01 || r.board == BD_FTP)
            continue;  // the wait is a plain sleep
        uint16_t now = 0;
        ASSERT_EQ(ac_llc_read_level(info_, &now), NO_ERROR);
        EXPECT_EQ(now, r.level_after);
    }
}

TEST_F(LlcBoards, NdWheelWaitPumpsUpTo300Times)
{
    u_hooks.idle = &tick;
    kind(BD_CAN, SYS_MODEL19, 0, 4095);
    ASSERT_EQ(CanCreateSyncObjects(), NO_ERROR);
    ASSERT_EQ(can_register_events(sysinfo_slot(0), true), NO_ERROR);
    struct row {
        int32_t settle_ms;
        bool event;
        int32_t rc;
        uint64_t elapsed;
    };
    // The wheel's "stopped" PDO is decoded by the pump after the 10 ms wait in which it came;
    // the 300th pump comes after the last wait, too late.
    const std::vector<row> rows = {
        {700, true, NO_ERROR, 700},
        {2990, true, NO_ERROR, 2990},
        {3000, true, ERR_HW_FAIL, 3000},
        {700, false, NO_ERROR, 1300},  // nobody created the event: a plain 1300 ms
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.settle_ms);
        vcan::ndw_wheel(0, 0, 0x00, r.settle_ms);
        u_handle stopped = nullptr;
        if (r.event) {
            ASSERT_EQ(u_event_create(true, true, CAN_NDWHEEL_STOPPED, &stopped), NO_ERROR);
        }
        levels(0, 0, 0);
        u_vclock_clear_sleeps();
        const uint64_t t0 = u_now_ms();
        EXPECT_EQ(ac_llc_set_level_wait(info_, 3000), r.rc);
        EXPECT_EQ(u_now_ms() - t0, r.elapsed);
        EXPECT_EQ(u_vclock_sleeps(), r.event ? std::vector<uint32_t>{} : std::vector<uint32_t>{1300});
        if (stopped != nullptr)
            u_close_handle(stopped);
        // Let the wheel come to rest before the next row.
        u_sleep_ms(5000);
        vcan::ndw_tick();
        can_process_events(info_);
    }
    can_register_events(sysinfo_slot(0), false);
}

TEST_F(LlcBoards, AFailedSetLeavesModeAndLevelsUnchanged)
{
    struct row {
        const char* what;
        int32_t board, sys;
        int32_t mode;  // the slot's mode before
        std::function<void()> breaks;
        int32_t rc;
        const char* log;
    };
    auto script = [this](fault f, int times) {
        return [this, f, times] {
            for (int i = 0; i < times; ++i)
                device_->script(f);
        };
    };
    const char* timeout = "ur_readUZ: timed out on first byte, respType=1\nur_writeUZ failed: cmd=UZ1_LLC_SET_CMD\n";
    const std::vector<row> rows = {
        {"board01 silent", BD_BOARD01, SYS_MODEL01, 2, script(fault::silent, 1), ERR_UZ_RECV_TIMEOUT, timeout},
        {"ftp rejects thrice", BD_FTP, SYS_FTP, 2, script(fault::nak, 3), ERR_UZ_RECV_FAILED,
         "ur_writeUZ failed: cmd=FTP_LLC_SET_CMD\n"},
        {"hxi mode-set rejected", BD_HXI, SYS_HXI, 1, script(fault::nak, 3), ERR_UZ_RECV_FAILED,
         "ur_writeUZ failed: cmd=UZ2_LLC_MODE_SET_CMD\n"},
        {"hxi link down", BD_HXI, SYS_HXI, 2, [this] { close_board(); }, ERR_SYS_INFO_NOT_AVAIL, ""},
        {"can led aborts", BD_CAN, SYS_MODEL01, 2, [] { vcan::set_abort(61, 0x2001, 0, 0x06090011u); },
         ERR_CAN_SDO_LED_ERROR, nullptr},
        {"can nd wheel aborts", BD_CAN, SYS_MODEL17, 2, [] { vcan::set_abort(64, 0x2028, 0, 0x06090011u); },
         ERR_CAN_SDO_NDW_ERROR, nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.board == BD_CAN) {
            close_board();
            kind(r.board, r.sys, 0, 159);
        } else {
            serial(r.board, r.sys, 0, 159);
        }
        r.breaks();
        levels(r.mode, 7, 5);
        log_.clear();
        EXPECT_EQ(ac_llc_set_level(info_, 100), r.rc);
        EXPECT_EQ(run().mode, r.mode);
        EXPECT_EQ(run().level, 7);
        EXPECT_EQ(run().prevLevel, 5);
        if (r.log != nullptr) {
            EXPECT_EQ(log_.str(), r.log);
        }
        // A failed set-and-wait does not wait either.
        r.breaks();
        u_vclock_clear_sleeps();
        EXPECT_EQ(ac_llc_set_level_wait(info_, 101), r.rc);
        EXPECT_TRUE(u_vclock_sleeps().empty());
        EXPECT_EQ(run().level, 7);
        vcan::set_abort(61, 0x2001, 0, 0);
        vcan::set_abort(64, 0x2028, 0, 0);
    }
    // A mode change whose mode-set fails says so and changes nothing.
    serial(BD_HXI, SYS_HXI, 0, 159);
    script(fault::nak, 3)();
    levels(0, 7, 5);
    log_.clear();
    EXPECT_EQ(ac_llc_mode(info_, 2), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(log_.str(), "ur_writeUZ failed: cmd=UZ2_LLC_MODE_SET_CMD\nac_llc_mode: uz_write_llcMode failed\n");
    EXPECT_EQ(run().mode, 0);
    EXPECT_EQ(run().level, 7);
}

}  // namespace
