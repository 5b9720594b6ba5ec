// The CAN suites' common set-up: the virtual bridge linked in, one bridge connected, slot 0 a
// CAN instrument, the virtual clock running, the log captured.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_bus.h"
#include "vell/can/can_sdo.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/sim/canbridge/vcan_bridge.h"
#include "tests/support/test_support.h"

namespace cantest {

// The address of the listed bridge as CAN_Connect takes it: the 4 bytes in memory order.
inline uint32_t address_of(const uint8_t ip[4])
{
    uint32_t a = 0;
    std::memcpy(&a, ip, 4);
    return a;
}

// Gives the record a PIFOC of the type: 0 (no PI scanner), SB_PI_751 or SB_PI_DIGITAL.
inline void set_pi_scanner(SysInfo* si, int32_t type)
{
    ASSERT_EQ(sysinfo_ensure_pifoc(*si), NO_ERROR);
    si->pifoc->type = type;
}

class CanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vcan::reset();
        can_bus_use(vcan::table(), vcan::version_high);
        vcan::bridge_info b;
        vcan::add_bridge(b);
        ASSERT_EQ(can_bus().CAN_Connect(address_of(b.ip)), CAN_OK);
        sysinfo_reset_all_slots();
        sysinfo_slot(0)->instrBdType = BD_CAN;
        sysinfo_reset_runtime_all();
        vcan::clear_calls();
    }
    void TearDown() override
    {
        vcan::reset();
        can_bus_unload();
        sysinfo_reset_runtime_all();
        can_set_sleep_reset(nullptr);
        sysinfo_reset_all_slots();
    }

    std::vector<std::string> call_names() const
    {
        std::vector<std::string> out;
        for (const vcan::call& c : vcan::calls())
            out.push_back(c.function);
        return out;
    }

    u_virtual_clock clock_;
    vptest::LogCapture log_;
};

}  // namespace cantest
