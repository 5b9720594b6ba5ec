// Every service's per-instrument state hangs on the instrument record: a slot number reaches its
// record's state directly, a record that is not a slot's has a state of its own, and the record's
// run-time reset releases what the states hold.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>

#include "vell/calfile/sysinfo.h"
#include "vell/instrument/ftp_materials.h"
#include "vell/instrument/pifoc.h"
#include "vell/platform/errors.h"
#include "vell/posinstr/metronics.h"
#include "vell/ramps/ramp_set.h"
#include "vell/serial/board.h"
#include "vell/serial/sio_vport.h"
#include "vell/serial/tempctl.h"
#include "vell/serial/wavemon.h"
#include "tests/support/test_support.h"

namespace {

struct service {
    const char* name;
    std::function<const void*(SysInfo&)> of_record;
    std::function<const void*(int)> of_slot;  // empty: the service has no slot-number form
};

const std::vector<service>& services()
{
    static const std::vector<service> rows = {
        {"board", [](SysInfo& i) { return static_cast<const void*>(&ur_board_of(i)); },
         [](int s) { return static_cast<const void*>(ur_board_slot(s)); }},
        {"wave monitor", [](SysInfo& i) { return static_cast<const void*>(&wm_device_of(i)); },
         [](int s) { return static_cast<const void*>(wm_slot(s)); }},
        {"temperature controller", [](SysInfo& i) { return static_cast<const void*>(&temp_device_of(i).link); },
         [](int s) { return static_cast<const void*>(temp_slot(s)); }},
        {"metronics", [](SysInfo& i) { return static_cast<const void*>(&pi_metronics_of(i)); },
         [](int s) { return static_cast<const void*>(pi_metronics_slot(s)); }},
        {"ramps", [](SysInfo& i) { return static_cast<const void*>(rr_instr_ramps(&i)); }, {}},
        {"ftp", [](SysInfo& i) { return static_cast<const void*>(ftp_state_of(&i)); }, {}},
        {"pifoc", [](SysInfo& i) { return static_cast<const void*>(xr_pifoc_state_of(&i)); }, {}},
    };
    return rows;
}

class RecordState : public ::testing::Test {
protected:
    void SetUp() override { sysinfo_reset_all_slots(); }
    void TearDown() override { sysinfo_reset_all_slots(); }
};

TEST_F(RecordState, EveryRecordHasItsOwnStateAndSlotsReachTheirsDirectly)
{
    SysInfo outside;  // not one of the slots
    for (const service& s : services()) {
        SCOPED_TRACE(s.name);
        std::set<const void*> seen;
        const void* own = s.of_record(outside);
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(s.of_record(outside), own);  // created once
        seen.insert(own);
        for (int slot = 0; slot < SB_NUM_SLOTS; ++slot) {
            const void* p = s.of_record(*sysinfo_slot(slot));
            EXPECT_TRUE(seen.insert(p).second) << "slot " << slot << " shares a state";
            if (s.of_slot) {
                EXPECT_EQ(s.of_slot(slot), p) << "slot " << slot;
            }
        }
        if (s.of_slot) {
            EXPECT_EQ(s.of_slot(-1), nullptr);
            EXPECT_EQ(s.of_slot(SB_NUM_SLOTS), nullptr);
        }
    }
    EXPECT_EQ(rr_instr_ramps(nullptr), nullptr);
    EXPECT_EQ(ftp_state_of(nullptr), nullptr);
    EXPECT_EQ(xr_pifoc_state_of(nullptr), nullptr);
}

// The run-time reset of one record closes its open links (and only its own) and starts its
// states afresh.
TEST_F(RecordState, TheResetClosesTheRecordsLinks)
{
    vptest::LogCapture log;
    struct port {
        const char* name;
        sio_link* (*link_of)(SysInfo&);
    };
    const port ports[] = {
        {"VWM", [](SysInfo& i) -> sio_link* { return &wm_device_of(i).link; }},
        {"VTEMP", [](SysInfo& i) -> sio_link* { return &temp_device_of(i).link; }},
        {"VMET", [](SysInfo& i) -> sio_link* { return &pi_metronics_of(i).link; }},
    };
    SysInfo outside;
    SysInfo& slot = *sysinfo_slot(1);
    std::vector<std::unique_ptr<sio_vport>> mine, theirs;
    for (const port& p : ports) {
        SCOPED_TRACE(p.name);
        mine.emplace_back();
        theirs.emplace_back();
        ASSERT_EQ(sio_vport::create(p.name, &mine.back()), NO_ERROR);
        ASSERT_EQ(sio_vport::create((std::string(p.name) + "1").c_str(), &theirs.back()), NO_ERROR);
        ASSERT_EQ(sio_open(p.name, p.link_of(outside)), NO_ERROR);
        ASSERT_EQ(sio_open((std::string(p.name) + "1").c_str(), p.link_of(slot)), NO_ERROR);
    }
    pi_metronics_of(outside).position = 1.5;
    sysinfo_reset_runtime(outside);
    for (std::size_t i = 0; i < std::size(ports); ++i) {
        SCOPED_TRACE(ports[i].name);
        EXPECT_FALSE(mine[i]->port_open());
        EXPECT_TRUE(theirs[i]->port_open()) << "another record's link stays open";
        EXPECT_EQ(ports[i].link_of(outside)->handle, SIO_INVALID_HANDLE);
    }
    EXPECT_EQ(pi_metronics_of(outside).position, std::numeric_limits<double>::infinity());
    sysinfo_reset_runtime(outside);  // the record leaves scope with nothing open
}

}  // namespace
