// Shared set-up of the power-on suites: clean slots, built-in sequence rows and board service,
// the device-control table, the virtual clock and the log captured.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "vell/calfile/sysinfo.h"
#include "vell/instrument/inst_on.h"
#include "vell/instrument/llc.h"
#include "vell/platform/hooks.h"
#include "vell/serial/board.h"
#include "vell/serial/devctl.h"
#include "tests/support/test_support.h"

namespace insttest {

class PowerOn : public ::testing::Test {
protected:
    void SetUp() override
    {
        clock = std::make_unique<u_virtual_clock>(0);
        log = std::make_unique<vptest::LogCapture>();
        sysinfo_reset_all_slots();
        ASSERT_EQ(dev_init_cntrl(true), 0);
        info = sysinfo_slot(0);
    }
    void TearDown() override
    {
        sysinfo_reset_runtime_all();  // closes the board links
        inst_reset_sequences();
        inst_set_board_service(nullptr);
        ac_llc_reset_boards();
        dev_release_cntrl();
        sysinfo_reset_all_slots();
        log.reset();
        clock.reset();
    }
    std::string logged() const { return log->str(); }

    std::unique_ptr<u_virtual_clock> clock;
    std::unique_ptr<vptest::LogCapture> log;
    SysInfo* info = nullptr;
};

}  // namespace insttest
