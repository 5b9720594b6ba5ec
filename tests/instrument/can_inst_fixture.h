// CAN power-on on the virtual instrument: slot 0 a CAN instrument with a MAC address, the
// virtual bridge bound, the virtual clock running, the wall clock fixed (UTC as local time) so
// that stamped lines are exact, and the light-level board row of the CAN instruments wired to
// the LED and ND wheel nodes.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_agc.h"
#include "vell/can/can_bus.h"
#include "vell/can/can_events.h"
#include "vell/can/can_ops.h"
#include "vell/can/can_sdo.h"
#include "vell/instrument/can_bringup.h"
#include "vell/instrument/can_inst.h"
#include "vell/instrument/llc.h"
#include "vell/instrument/sleep_mode.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/serial/devctl.h"
#include "vell/serial/wavemon.h"
#include "vell/sim/canbridge/vcan_bridge.h"
#include "vell/sim/canbridge/vcan_instrument.h"
#include "tests/instrument/instrument_fixture.h"
#include "tests/serial_links/links_fixture.h"

namespace caninst {

constexpr uint8_t kMac[6] = {0x00, 0x50, 0xC2, 0x12, 0x34, 0x56};

// The bridge's address as CAN_Connect takes it.
inline uint32_t address_of(const vcan::bridge_info& b)
{
    uint32_t a = 0;
    std::memcpy(&a, b.ip, 4);
    return a;
}

inline int32_t llc_set(SysInfo& si, uint16_t level)
{
    return ac_llc_agc_applies(si) ? can_write_ndw_llcLevel(&si, level, true) : can_write_llc(&si, level, true);
}
inline int32_t llc_read(SysInfo& si, uint16_t* level)
{
    return ac_llc_agc_applies(si) ? can_read_ndw_llcLevel(&si, level, true) : can_read_llc(&si, level, true);
}
// The ramp set has suites of its own; here every instrument is one without ramp information.
inline int32_t no_ramp_info(SysInfo*) { return ERR_NO_RAMP_INFO; }

inline int32_t agc_stop(SysInfo&) { return can_agc_stop_thread(); }
inline int32_t agc_start(SysInfo& si, int32_t value) { return can_agc_start(&si, value); }

class CanInst : public vptest::InstrumentTest {
protected:
    void SetUp() override
    {
        InstrumentTest::SetUp();
        u_hooks.local_time = linktest::utc_time;
        can_bus_use(vcan::table(), vcan::version_high);
        sysinfo_reset_runtime_all();
        can_events_reset();
        ac_llc_set_board(BD_CAN, ac_llc_board_ops{llc_set, llc_read, nullptr, nullptr, nullptr, agc_stop, agc_start,
                                                  nullptr});
        can_inst_services services = can_inst_default_services();
        services.ramp_info = no_ramp_info;
        can_inst_set_services(&services);
        si = sysinfo_slot(0);
        si->instrBdType = BD_CAN;
        ASSERT_EQ(sysinfo_ensure_can_info(*si), NO_ERROR);
        std::memcpy(si->canInfo->macAddress, kMac, 6);
        si->sleepTimeout = 0;
        si->light[0].rangeHigh = 4000;
        ASSERT_EQ(dev_init_cntrl(true), NO_ERROR);
    }
    void TearDown() override
    {
        can_inst_set_services(nullptr);
        sleep_mode_stop();
        can_ndw_event_close(sysinfo_slot(0));
        dev_release_cntrl();
        can_register_events(sysinfo_slot(0), false);
        vcan::reset();
        can_bus_unload();
        ac_llc_reset_boards();
        sysinfo_reset_runtime_all();
        can_events_reset();
        InstrumentTest::TearDown();
    }

    // Builds the virtual instrument of the record and starts the transcript here.
    void build(const vcan::instrument_options& options = {})
    {
        ASSERT_TRUE(vcan::build_instrument(*si, options));
        log_.clear();
        t0 = u_now_ms();
    }

    // The log, then the bridge's call log with virtual times since build (SDO writes with the
    // bytes written).
    std::string transcript() const
    {
        std::string s = log_.str() + "--\n";
        for (const vcan::call& c : vcan::calls()) {
            s += u_format("%5llu %s %s", static_cast<unsigned long long>(c.time_ms - t0), c.function.c_str(),
                          c.args.c_str());
            if (!c.data.empty()) {
                s += " =";
                for (uint8_t b : c.data)
                    s += u_format(" %02X", b);
            }
            s += "\n";
        }
        return s;
    }
    std::size_t count(const std::string& function) const { return vcan::calls_of(function).size(); }
    uint64_t elapsed() const { return u_now_ms() - t0; }

    u_virtual_clock clock_{1000};
    SysInfo* si = nullptr;
    uint64_t t0 = 0;
};

}  // namespace caninst
