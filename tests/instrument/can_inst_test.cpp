// CAN power-on and off on the virtual instrument: whole transcripts (log and bridge calls with
// virtual times) per instrument model, then the edge cases of each step.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "vell/platform/event.h"
#include "vell/sim/wavemon_device.h"
#include "tests/instrument/can_inst_fixture.h"

namespace {

using caninst::CanInst;

#include "tests/instrument/can_inst_transcripts.inc"

struct model_case {
    const char* name;
    void (*setup)(SysInfo& si, vcan::instrument_options& o);
};

const model_case kModels[] = {
    {"Model15_D7",
     [](SysInfo& si, vcan::instrument_options& o) {
         si.sysType = SYS_MODEL15;
         sysinfo_ensure_pifoc(si);
         si.turret = 2;
         si.zoom = 1;
         o.brush_motor_product = 0x267215D7u;
         o.zoom_position = 2;
     }},
    {"Model10",
     [](SysInfo& si, vcan::instrument_options& o) {
         si.sysType = SYS_MODEL10;
         si.turret = 1;
         si.zoom = 2;
         o.led_product = 0x2672137Du;
         o.fw_major = 1;
         o.fw_minor = 11;  // no configuration word
         o.node_id = 5;
         o.bit_rate = 500;
     }},
    {"Model23",
     [](SysInfo& si, vcan::instrument_options& o) {
         si.sysType = SYS_MODEL23;
         si.turret = 2;
         o.turret_position = 0;
         o.last_errors = {7};
     }},
    {"Model17_all_nodes",
     [](SysInfo& si, vcan::instrument_options& o) {
         si.sysType = SYS_MODEL17;
         o.ring_spot_position = 2;  // at spot: bring-up drives it to the ring
         si.ringSpot = 1;
         si.cameraType = CAM_E2V7899;
         sysinfo_ensure_hxi_zoom(si);
         si.hxiZoom->backlash = 12;
     }},
    {"Model26",
     [](SysInfo& si, vcan::instrument_options&) {
         si.sysType = SYS_MODEL26;
         si.wandPresent = 0;
     }},
    {"Model20",
     [](SysInfo& si, vcan::instrument_options&) {
         si.sysType = SYS_MODEL20;
         si.zoomPresent = 0;
     }},
};

class Transcript : public CanInst, public ::testing::WithParamInterface<model_case> {};

TEST_P(Transcript, PowerOnThenOff)
{
    const model_case& m = GetParam();
    std::unique_ptr<sim::wavemon_device> wm;
    if (std::string(m.name) == "Model26") {
        ASSERT_EQ(sim::wavemon_device::create("COM12", &wm), NO_ERROR);
        si->wmComm.assign("COM12");
    }
    vcan::instrument_options o;
    m.setup(*si, o);
    build(o);
    EXPECT_EQ(can_inst_on(si), NO_ERROR);
    EXPECT_EQ(can_inst_off(si), NO_ERROR);
    const std::string actual = transcript();
    auto expected = kTranscripts.find(m.name);
    EXPECT_EQ(actual, expected != kTranscripts.end() ? expected->second : "");
    sysinfo_reset_runtime_all();
}

INSTANTIATE_TEST_SUITE_P(CanInst, Transcript, ::testing::ValuesIn(kModels),
                         [](const ::testing::TestParamInfo<model_case>& i) { return std::string(i.param.name); });

}  // namespace
