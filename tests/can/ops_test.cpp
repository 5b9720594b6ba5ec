// The node operation catalogue against the virtual bridge: every simple operation's object,
// size, board check, guard and abort code, and the composites on the virtual clock.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_events.h"
#include "vell/can/can_ops.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/ramps/ramp_set.h"
#include "vell/sim/canbridge/vcan_nodes.h"
#include "tests/can/can_fixture.h"

namespace {

using op_fn = std::function<int32_t(SysInfo*)>;

class CanOpsTest : public cantest::CanTest {
protected:
    void SetUp() override
    {
        CanTest::SetUp();
        for (uint8_t n : {52, 61, 62, 63, 64, 66, 68, 70, 127})
            vcan::set_node(n);
        for (uint8_t n : {64, 66, 68, 70})
            vcan::install_motor_driver(n);
        vcan::install_bridge_node(true);
        vcan::install_pzt_node(62);
        vcan::install_pzt_node(52);
        vcan::install_led_node();
        vcan::install_brush_motor();
        vcan::install_enc_zoom(4, 3);
        can_node_avail* a = can_avail(sysinfo_slot(0));
        a->canTriplePztAvail = a->canLargeApAvail = a->canDdZoomAvail = a->canDdRsAvail = true;
        a->canFocusNdwAvail = a->canAuxMotorAvail = a->canBrushMotorAvail = true;
        si = sysinfo_slot(0);
        ASSERT_EQ(sysinfo_ensure_can_info(*si), NO_ERROR);
        si->canInfo->fwMajor = 2;
        si->turret = 1;
        si->zoom = 2;
        can_events_reset();
        vcan::clear_calls();
        log_.clear();
    }
    void TearDown() override
    {
        u_hooks.idle = saved_idle_;
        sysinfo_reset_runtime_all();
        can_events_reset();
        CanTest::TearDown();
    }

    // The SDO transfers of the log as "R node=.. index=.. sub=.. size=.." lines.
    std::vector<std::string> transfers() const
    {
        std::vector<std::string> out;
        for (const vcan::call& c : vcan::calls())
            if (c.function == "CAN_SDORead" || c.function == "CAN_SDOWrite")
                out.push_back((c.function == "CAN_SDORead" ? "R " : "W ") + c.args);
        return out;
    }
    static std::string xfer(bool write, int node, int index, int sub, int size)
    {
        char b[96];
        std::snprintf(b, sizeof b, "%s node=%d index=0x%04X sub=%d size=%d", write ? "W" : "R", node, index, sub, size);
        return b;
    }

    SysInfo* si = nullptr;
    void (*saved_idle_)() = u_hooks.idle;
};

struct op_row {
    const char* name;
    op_fn op;
    int node, index, sub, size;
    bool write;
    int32_t abort;       // code when the node aborts the (last) transfer
    int32_t board;       // code when the board is not CAN
    uint8_t guard;       // node whose availability flag guards it, 0 = none
};

TEST_F(CanOpsTest, EverySimpleOperationUsesItsObjectSizeGuardAndAbortCode)
{
    uint8_t b = 0;
    uint16_t w = 0;
    float f = 0;
    int32_t i = 0;
    rr_ramp_hdr_t hdr{};
    hdr.trigStartAddr = 1000;
    hdr.cameraRate = 30.0f;
    hdr.sampleClkFreq = 1.0f;  // frame 30
    const uint16_t samples[3] = {1, 2, 3};
    rr_ramp_t ramp;
    ramp.hdr.nPoints = 3;
    ramp.samples.reset(static_cast<uint16_t*>(u_malloc(3 * sizeof(uint16_t))));
    std::copy(samples, samples + 3, ramp.samples.get());
    auto with_mux = [](SysInfo* s, const std::function<int32_t()>& op) {
        can_state(s)->rampMux = 1;
        int32_t rc = op();
        can_state(s)->rampMux = 0;
        return rc;
    };
    auto with_pi = [](SysInfo* s, const std::function<int32_t()>& op) {
        cantest::set_pi_scanner(s, SB_PI_751);
        int32_t rc = op();
        cantest::set_pi_scanner(s, 0);
        return rc;
    };
    constexpr int32_t DMD = ERR_CAN_SDO_DMD_ERROR, IP = ERR_INVALID_PARAM, WB = ERR_WRONG_INSTR_BOARD;
    constexpr int32_t RAMP = ERR_CAN_SDO_RAMP_ERROR, BRG = ERR_CAN_SDO_BRIDGE_ERROR, NA = ERR_CAN_NODE_NOT_AVAIL;
    (void)NA;
    const std::vector<op_row> rows = {
        // family 1 on node 70
        {"motor1 control r", [&](SysInfo* s) { return can_read_dmd_motor1_control(s, 70, &b); }, 70, 0x2000, 0, 1, false, DMD, IP, 0},
        {"motor1 control w", [&](SysInfo* s) { return can_write_dmd_motor1_control(s, 70, 1); }, 70, 0x2000, 0, 1, true, DMD, IP, 0},
        {"motor1 mode", [&](SysInfo* s) { return can_write_dmd_motor1_mode(s, 70, 4); }, 70, 0x2002, 0, 1, true, DMD, IP, 0},
        {"motor1 vel", [&](SysInfo* s) { return can_write_dmd_motor1_targetVel(s, 70, 10.0f); }, 70, 0x2004, 0, 4, true, DMD, IP, 0},
        {"motor2 control", [&](SysInfo* s) { return can_write_dmd_motor2_control(s, 70, 1); }, 70, 0x2020, 0, 1, true, DMD, IP, 0},
        {"motor2 status", [&](SysInfo* s) { return can_read_dmd_motor2_status(s, 70, &b); }, 70, 0x2021, 0, 1, false, DMD, IP, 0},
        {"motor2 llc r", [&](SysInfo* s) { return can_read_dmd_motor2_llcLevel(s, 70, &w, true); }, 70, 0x2028, 0, 2, false, DMD, IP, 0},
        {"motor2 llc w", [&](SysInfo* s) { return can_write_dmd_motor2_llcLevel(s, 70, 5, false); }, 70, 0x2028, 0, 2, true, DMD, IP, 0},
        {"motor2 maxcur", [&](SysInfo* s) { return can_read_dmd_motor2_maxCurrent(s, 70, &w); }, 70, 0x2036, 0, 2, false, DMD, IP, 0},
        {"motor2 current", [&](SysInfo* s) { return can_write_dmd_motor2_current(s, 70, -500); }, 70, 0x2034, 0, 2, true, DMD, IP, 0},
        {"motor2 position", [&](SysInfo* s) { return can_read_dmd_motor2_position(s, 70, &b); }, 70, 0x2047, 0, 1, false, DMD, IP, 0},
        {"keypress r", [&](SysInfo* s) { return can_read_dmd_keypress_mode(s, 70, &b); }, 70, 0x2044, 8, 1, false, DMD, IP, 0},
        {"keypress w", [&](SysInfo* s) { return can_write_dmd_keypress_mode(s, 70, 2); }, 70, 0x2044, 8, 1, true, DMD, IP, 0},
        // family 2
        {"rs control r", [&](SysInfo* s) { return can_read_rs_dd_control(s, &b); }, 68, 0x2000, 0, 1, false, ERR_CAN_SDO_ROF_ERROR, IP, 68},
        {"rs control w", [&](SysInfo* s) { return can_write_rs_dd_control(s, 1); }, 68, 0x2000, 0, 1, true, ERR_CAN_SDO_ROF_ERROR, IP, 68},
        {"rs mode", [&](SysInfo* s) { return can_write_rs_dd_mode(s, 1); }, 68, 0x2002, 0, 1, true, ERR_CAN_SDO_ROF_ERROR, IP, 68},
        {"rs status", [&](SysInfo* s) { return can_read_rs_status(s, &b); }, 68, 0x2021, 0, 1, false, ERR_CAN_SDO_ROF_ERROR, IP, 68},
        {"rs current", [&](SysInfo* s) { return can_write_rs_current(s, 100); }, 68, 0x2034, 0, 2, true, ERR_CAN_SDO_ROF_ERROR, IP, 68},
        {"rs maxcur", [&](SysInfo* s) { return can_read_rs_maxCurrent(s, &w); }, 68, 0x2036, 0, 2, false, ERR_CAN_SDO_ROF_ERROR, IP, 68},
        {"rs position", [&](SysInfo* s) { return can_read_rs_position(s, &b); }, 68, 0x2047, 0, 1, false, ERR_CAN_SDO_ROF_ERROR, IP, 68},
        {"rs keypress r", [&](SysInfo* s) { return can_read_rs_keypress_mode(s, &b); }, 68, 0x2044, 8, 1, false, ERR_CAN_SDO_ROF_ERROR, IP, 68},
        {"rs keypress w", [&](SysInfo* s) { return can_write_rs_keypress_mode(s, 0); }, 68, 0x2044, 8, 1, true, ERR_CAN_SDO_ROF_ERROR, IP, 68},
        {"zoom control r", [&](SysInfo* s) { return can_read_zoom_dd_control(s, &b); }, 70, 0x2000, 0, 1, false, ERR_CAN_SDO_ZOOM_ERROR, IP, 70},
        {"zoom control w", [&](SysInfo* s) { return can_write_zoom_dd_control(s, 1); }, 70, 0x2000, 0, 1, true, ERR_CAN_SDO_ZOOM_ERROR, IP, 70},
        {"zoom mode", [&](SysInfo* s) { return can_write_zoom_dd_mode(s, 2); }, 70, 0x2002, 0, 1, true, ERR_CAN_SDO_ZOOM_ERROR, IP, 70},
        {"zoom vel", [&](SysInfo* s) { return can_write_zoom_dd_targetVel(s, 500.0f); }, 70, 0x2004, 0, 4, true, ERR_CAN_SDO_ZOOM_ERROR, IP, 70},
        {"zoom keypress r", [&](SysInfo* s) { return can_read_zoom_keypress_mode(s, &b); }, 70, 0x2044, 8, 1, false, ERR_CAN_SDO_ZOOM_ERROR, IP, 70},
        {"zoom keypress w", [&](SysInfo* s) { return can_write_zoom_keypress_mode(s, 0); }, 70, 0x2044, 8, 1, true, ERR_CAN_SDO_ZOOM_ERROR, IP, 70},
        {"ndw control", [&](SysInfo* s) { return can_write_ndw_control(s, 1); }, 64, 0x2020, 0, 1, true, ERR_CAN_SDO_NDW_ERROR, IP, 64},
        {"ndw status", [&](SysInfo* s) { return can_read_ndw_status(s, &b); }, 64, 0x2021, 0, 1, false, ERR_CAN_SDO_NDW_ERROR, IP, 64},
        {"ndw llc r", [&](SysInfo* s) { return can_read_ndw_llcLevel(s, &w, false); }, 64, 0x2028, 0, 2, false, ERR_CAN_SDO_NDW_ERROR, IP, 64},
        {"ndw llc w", [&](SysInfo* s) { return can_write_ndw_llcLevel(s, 7, true); }, 64, 0x2028, 0, 2, true, ERR_CAN_SDO_NDW_ERROR, IP, 64},
        {"focus keypress r", [&](SysInfo* s) { return can_read_focus_keypress_mode(s, &b); }, 64, 0x2044, 8, 1, false, ERR_CAN_SDO_FZM_ERROR, IP, 64},
        {"focus keypress w", [&](SysInfo* s) { return can_write_focus_keypress_mode(s, 1); }, 64, 0x2044, 8, 1, true, ERR_CAN_SDO_FZM_ERROR, IP, 64},
        // family 3
        {"bridge status", [&](SysInfo* s) { return can_read_bridge_status(s, &b); }, 127, 0x2010, 1, 1, false, BRG, WB, 0},
        {"config r", [&](SysInfo* s) { return can_bridge_read_config(s, &w); }, 127, 0x2010, 2, 2, false, RAMP, WB, 0},
        {"config w", [&](SysInfo* s) { return can_bridge_write_config(s, 0x2100); }, 127, 0x2010, 2, 2, true, RAMP, WB, 0},
        {"fg trigger", [&](SysInfo* s) { return can_write_fg_trigger(s, 1); }, 127, 0x2010, 5, 2, true, RAMP, WB, 0},
        {"digout r", [&](SysInfo* s) { return can_bridge_read_digitalout(s, &b); }, 127, 0x6200, 1, 1, false, BRG, WB, 0},
        {"digout w", [&](SysInfo* s) { return can_bridge_write_digitalout(s, 4); }, 127, 0x6200, 1, 1, true, BRG, WB, 0},
        {"syncgen", [&](SysInfo* s) { return can_write_syncgen(s); }, 127, 0x2030, 0, 4, true, RAMP, WB, 0},
        {"ramp start", [&](SysInfo* s) { return can_ramp_start(s); }, 127, 0x2000, 0, 1, true, RAMP, WB, 0},
        {"ramp status", [&](SysInfo* s) { return can_read_ramp_status(s, &b); }, 127, 0x2000, 0, 1, false, RAMP, WB, 0},
        {"ramp select", [&](SysInfo* s) { return can_write_ramp_select(s, 3); }, 127, 0x2001, 0, 1, true, RAMP, WB, 0},
        {"ramp valid", [&](SysInfo* s) { return can_read_ramp_valid(s, 2, &b); }, 127, 0x2005, 1, 1, false, RAMP, WB, 0},
        {"ramp trigger", [&](SysInfo* s) { return can_write_ramp_trigger(s, 1, hdr); }, 127, 0x2004, 2, 2, true, RAMP, WB, 0},
        {"ramp rate", [&](SysInfo* s) { return can_write_ramp_rate(s, 3, 200.0f); }, 127, 0x2006, 4, 4, true, RAMP, WB, 0},
        // family 4 (rampMux 0: node 62)
        {"pzt start", [&](SysInfo* s) { return can_pztramp_start(s); }, 62, 0x2000, 0, 1, true, ERR_CAN_SDO_PZT_ERROR, WB, 62},
        {"pzt status", [&](SysInfo* s) { return can_read_pztramp_status(s, &b); }, 62, 0x2000, 0, 1, false, ERR_CAN_SDO_PZT_ERROR, WB, 62},
        {"pzt select", [&](SysInfo* s) { return can_write_pztramp_select(s, 1); }, 62, 0x2001, 0, 1, true, ERR_CAN_SDO_PZT_ERROR, WB, 62},
        {"pzt valid", [&](SysInfo* s) { return can_read_pztramp_valid(s, 3, &b); }, 62, 0x2006, 1, 1, false, ERR_CAN_SDO_PZT_ERROR, WB, 62},
        {"pzt trigger", [&](SysInfo* s) { return can_write_pztramp_trigger(s, 0, hdr); }, 62, 0x2003, 2, 2, true, ERR_CAN_SDO_PZT_ERROR, WB, 62},
        {"pzt rate", [&](SysInfo* s) { return can_write_pztramp_rate(s, 0, 1.0f); }, 62, 0x2003, 4, 4, true, ERR_CAN_SDO_PZT_ERROR, WB, 62},
        {"pzt gain", [&](SysInfo* s) { return can_write_pztramp_gain(s, 1, 3, 0x3FFF); }, 62, 0x2004, 8, 2, true, ERR_CAN_SDO_PZT_ERROR, WB, 62},
        {"pzt errchk", [&](SysInfo* s) { return can_read_pztramp_errchk(s, &b); }, 62, 0x1002, 0, 4, false, ERR_CAN_SDO_PZT_ERROR, WB, 62},
        // family 5
        {"led setup", [&](SysInfo* s) { return can_write_led_setup(s, 1); }, 61, 0x2000, 0, 1, true, ERR_CAN_SDO_LED_ERROR, WB, 0},
        {"llc w", [&](SysInfo* s) { return can_write_llc(s, 9, false); }, 61, 0x2001, 0, 2, true, ERR_CAN_SDO_LED_ERROR, WB, 0},
        {"llc r", [&](SysInfo* s) { return can_read_llc(s, &w, true); }, 61, 0x2001, 0, 2, false, ERR_CAN_SDO_LED_ERROR, WB, 0},
        {"avgcurlmt", [&](SysInfo* s) { return can_write_llc_avgcurlmt(s, 1000); }, 61, 0x2002, 0, 2, true, ERR_CAN_SDO_LED_ERROR, WB, 0},
        {"fwdvlt", [&](SysInfo* s) { return can_write_llc_fwdvlt(s, 10000); }, 61, 0x2004, 0, 2, true, ERR_CAN_SDO_LED_ERROR, WB, 0},
        {"pwmfreq", [&](SysInfo* s) { return can_write_llc_pwmfreq(s, 1000000); }, 61, 0x2006, 0, 4, true, ERR_CAN_SDO_LED_ERROR, WB, 0},
        // family 6
        {"turret", [&](SysInfo* s) { return can_read_turret(s, &b); }, 63, 0x2002, 0, 1, false, ERR_CAN_SDO_BRMOTOR_ERROR, WB, 0},
        {"turret status", [&](SysInfo* s) { return can_read_turret_status(s, &b); }, 63, 0x2001, 0, 1, false, ERR_CAN_SDO_BRMOTOR_ERROR, WB, 0},
        {"zoom", [&](SysInfo* s) { return can_read_zoom(s, &i); }, 63, 0x2012, 0, 1, false, ERR_CAN_SDO_BRMOTOR_ERROR, WB, 0},
        {"all zoom", [&](SysInfo* s) { return can_read_all_zoom(s); }, 63, 0x2015, 0, 6, false, ERR_CAN_SDO_BRMOTOR_ERROR, WB, 0},
        {"brmtr config", [&](SysInfo* s) { return can_get_brmtr_config(s); }, 63, 0x2020, 1, 2, false, ERR_CAN_SDO_BRMOTOR_ERROR, WB, 0},
        // family 7
        {"motion mode", [&](SysInfo* s) { return hxi_enc_zoom_set_motion_mode(s); }, 64, 0x607D, 2, 4, true, ERR_CAN_SDO_ENC_ZOOM_ERROR, WB, 0},
        // family 4 with rampMux 1: the large-aperture node
        {"lap start", [&](SysInfo* s) { return with_mux(s, [&] { return can_pztramp_start(s); }); }, 52, 0x2000, 0, 1, true, ERR_CAN_SDO_LAP_ERROR, WB, 52},
        {"lap errchk", [&](SysInfo* s) { return with_mux(s, [&] { return can_read_pztramp_errchk(s, &b); }); }, 52, 0x1002, 0, 4, false, ERR_CAN_SDO_LAP_ERROR, WB, 52},
        // PI digital scanner through the bridge (firmware 2.0: the status in 0x2041/11)
        {"pi start", [&](SysInfo* s) { return with_pi(s, [&] { return can_ramp_start(s); }); }, 127, 0x2041, 6, 1, true, RAMP, WB, 0},
        {"pi select", [&](SysInfo* s) { return with_pi(s, [&] { return can_write_pi_ramp_select(s, 15); }); }, 127, 0x2041, 1, 1, true, RAMP, WB, 0},
        {"pi status", [&](SysInfo* s) { return with_pi(s, [&] { return can_read_pi_ramp_status(s, &b); }); }, 127, 0x2041, 11, 2, false, RAMP, WB, 0},
        {"pi amplitude", [&](SysInfo* s) { return with_pi(s, [&] { return can_read_pi_ramp_amplitude(s, &f); }); }, 127, 0x2041, 2, 4, false, RAMP, WB, 0},
        {"pi velocity", [&](SysInfo* s) { return with_pi(s, [&] { return can_read_pi_ramp_velocity(s, &f); }); }, 127, 0x2041, 3, 4, false, RAMP, WB, 0},
        {"pi ddl", [&](SysInfo* s) { return with_pi(s, [&] { return can_pi_load_ddl_tables(s, &i); }); }, 127, 0x2041, 20, 2, false, RAMP, WB, 0},
        {"pifoc offset", [&](SysInfo* s) { return can_write_pifoc_offset(s, 0xFFFF, false); }, 127, 0x2009, 1, 2, true, RAMP, WB, 0},
        // data transfers
        {"ramp data", [&](SysInfo* s) { return can_write_ramp_data(s, 0, ramp); }, 127, 0x2003, 5, 32768, true, RAMP, WB, 0},
        {"pzt data", [&](SysInfo* s) { return can_write_pztramp_data(s, 0, samples, 3); }, 62, 0x2003, 5, 6, true, ERR_CAN_SDO_PZT_ERROR, WB, 62},
    };
    (void)f;
    ASSERT_EQ(sysinfo_ensure_hxi_zoom(*si), NO_ERROR);
    ASSERT_EQ(sysinfo_ensure_pifoc(*si), NO_ERROR);
    vcan::install_pzt_node(62, 3);  // the data row writes 3 samples
    for (const op_row& r : rows) {
        SCOPED_TRACE(r.name);
        si->instrBdType = BD_CAN;
        vcan::clear_calls();
        log_.clear();
        ASSERT_EQ(r.op(si), NO_ERROR) << log_.str();
        std::vector<std::string> t = transfers();
        ASSERT_FALSE(t.empty());
        EXPECT_EQ(t.back(), xfer(r.write, r.node, r.index, r.sub, r.size));
        EXPECT_EQ(log_.str(), "");

        // The node aborts: the operation's own code; the line names the code of the layer that
        // saw the abort (the shared motor-driver code under a per-node wrapper).
        vcan::set_abort(uint8_t(r.node), uint16_t(r.index), uint8_t(r.sub), 0x06090011u, 1);
        log_.clear();
        EXPECT_EQ(r.op(si), r.abort);
        EXPECT_NE(log_.str().find(std::string("err=") + u_err_name(r.board == IP ? DMD : r.abort) + ", result=0, abortcode=06090011"),
                  std::string::npos)
            << log_.str();

        // Another board: refused before any transfer.
        si->instrBdType = BD_NONE;
        vcan::clear_calls();
        EXPECT_EQ(r.op(si), r.board);
        EXPECT_TRUE(transfers().empty());
        si->instrBdType = BD_CAN;

        if (r.guard != 0) {
            bool* flag = can_avail_flag(si, r.guard);
            ASSERT_NE(flag, nullptr);
            *flag = false;
            vcan::clear_calls();
            EXPECT_EQ(r.op(si), ERR_CAN_NODE_NOT_AVAIL);
            EXPECT_TRUE(transfers().empty());
            *flag = true;
        }
    }
}

TEST_F(CanOpsTest, ValueRulesRefuseBeforeTheBus)
{
    struct row {
        const char* name;
        op_fn op;
        int32_t code;
        const char* line;
    };
    rr_ramp_hdr_t hdr{};
    hdr.cameraRate = 30.0f;
    hdr.sampleClkFreq = 0.0f;
    const std::vector<row> rows = {
        {"mode 5", [](SysInfo* s) { return can_write_dmd_motor1_mode(s, 70, 5); }, ERR_INVALID_PARAM,
         "can_write_dmd_motor1_mode: invalid mode=5\n"},
        {"vel 9", [](SysInfo* s) { return can_write_dmd_motor1_targetVel(s, 70, 9.9f); }, ERR_INVALID_PARAM, ""},
        {"avgcurlmt 1001", [](SysInfo* s) { return can_write_llc_avgcurlmt(s, 1001); }, ERR_PARAM_OUT_OF_RANGE, ""},
        {"fwdvlt 10001", [](SysInfo* s) { return can_write_llc_fwdvlt(s, 10001); }, ERR_PARAM_OUT_OF_RANGE, ""},
        {"pwm", [](SysInfo* s) { return can_write_llc_pwmfreq(s, 1000001); }, ERR_PARAM_OUT_OF_RANGE, ""},
        {"select 4", [](SysInfo* s) { return can_write_ramp_select(s, 4); }, ERR_PARAM_OUT_OF_RANGE, ""},
        {"pzt select 4", [](SysInfo* s) { return can_write_pztramp_select(s, 4); }, ERR_PARAM_OUT_OF_RANGE, ""},
        {"ramp slot 4", [](SysInfo* s) { uint8_t v; return can_read_ramp_valid(s, 4, &v); }, ERR_PARAM_OUT_OF_RANGE, ""},
        {"rate 201", [](SysInfo* s) { return can_write_ramp_rate(s, 0, 200.5f); }, ERR_PARAM_OUT_OF_RANGE, ""},
        {"gain", [](SysInfo* s) { return can_write_pztramp_gain(s, 0, 1, 0x4000); }, ERR_PARAM_OUT_OF_RANGE, ""},
        {"pifoc offset", [](SysInfo* s) { return can_write_pifoc_offset(s, 0x10000, false); }, ERR_PARAM_OUT_OF_RANGE, ""},
        {"clock 0", [hdr](SysInfo* s) { return can_write_ramp_trigger(s, 0, hdr); }, ERR_PARAM_OUT_OF_RANGE,
         "can_write_ramp_trigger: calculated frameNumber=-1 outside of valid range\n"},
        {"pi start", [](SysInfo* s) { return can_pi_ramp_start(s); }, ERR_INVALID_PARAM, ""},
        {"ring spot 2", [](SysInfo* s) { return can_set_ring_spot(s, 2, false); }, ERR_INVALID_PARAM, ""},
        {"no hxi record", [](SysInfo* s) { return hxi_enc_zoom_set_backlash(s); }, ERR_HW_FAIL, ""},
        {"rampMux 2", [](SysInfo* s) { can_state(s)->rampMux = 2; int32_t r = can_pztramp_start(s); can_state(s)->rampMux = 0; return r; },
         ERR_INVALID_PARAM, "Invalid parameter si->rampMux=2\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        vcan::clear_calls();
        log_.clear();
        EXPECT_EQ(r.op(si), r.code);
        EXPECT_TRUE(transfers().empty());
        EXPECT_EQ(log_.str(), r.line);
    }
    EXPECT_EQ(can_write_ramp_trigger(nullptr, 0, hdr), ERR_SYS_INFO_NOT_AVAIL);
}

TEST_F(CanOpsTest, RampTriggerFrameNumberRangesAndModel19Doubling)
{
    rr_ramp_hdr_t hdr{};
    hdr.sampleClkFreq = 1.0f;
    hdr.cameraRate = 256.0f;
    hdr.trigStartAddr = 1000;  // 256 frames
    EXPECT_EQ(can_write_ramp_trigger(si, 0, hdr), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(log_.str(), "can_write_ramp_trigger: calculated frameNumber=256 outside of valid range\n");
    EXPECT_EQ(can_write_pztramp_trigger(si, 0, hdr), NO_ERROR);
    EXPECT_EQ(vcan::object(62, 0x2003, 2), (std::vector<uint8_t>{0x00, 0x01}));
    si->sysType = SYS_MODEL19;
    EXPECT_EQ(can_write_pztramp_trigger(si, 0, hdr), NO_ERROR);
    EXPECT_EQ(vcan::object(62, 0x2003, 2), (std::vector<uint8_t>{0x01, 0x02}));  // 2 * 256 + 1
    hdr.trigStartAddr = 32000;  // 8192 frames, doubled out of range
    log_.clear();
    EXPECT_EQ(can_write_pztramp_trigger(si, 0, hdr), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(log_.str(), "can_write_pztramp_trigger: calculated frameNumber=16385 outside of valid range [0,16383]\n");
    // Values that cannot give a frame number: refused without a bus access.
    int32_t frame = 7;
    for (float clk : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
        hdr.sampleClkFreq = clk;
        EXPECT_FALSE(can_ramp_frame_number(hdr, &frame));
    }
    hdr.sampleClkFreq = 1e-30f;
    EXPECT_FALSE(can_ramp_frame_number(hdr, &frame));
    EXPECT_EQ(frame, 7);
}

TEST_F(CanOpsTest, RampDataIsPaddedWithTheLastSampleAndLongRampsAreRefused)
{
    rr_ramp_t ramp;
    ramp.hdr.nPoints = 3;
    ramp.samples.reset(static_cast<uint16_t*>(u_malloc(3 * sizeof(uint16_t))));
    ramp.samples[0] = 0x0102;
    ramp.samples[1] = 0x0304;
    ramp.samples[2] = 0x0506;
    ASSERT_EQ(can_write_ramp_data(si, 1, ramp), NO_ERROR);
    std::vector<uint8_t> d = vcan::object(127, 0x2004, 5);
    ASSERT_EQ(d.size(), 32768u);
    EXPECT_EQ(d[0], 0x02);
    EXPECT_EQ(d[1], 0x01);
    EXPECT_EQ(d[4], 0x06);
    EXPECT_EQ(d[32766], 0x06);
    EXPECT_EQ(d[32767], 0x05);
    ramp.hdr.nPoints = 16385;
    vcan::clear_calls();
    EXPECT_EQ(can_write_ramp_data(si, 1, ramp), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_TRUE(transfers().empty());
}

TEST_F(CanOpsTest, ZoomReadsMapRawValuesByZoomTypeAndProduct)
{
    si->zoom = 1;
    si->canInfo->brushMotorProductId = 0x267215D7u;
    vcan::set_object_uint(63, 0x2012, 0, 2, 1);
    int32_t pos = -9;
    EXPECT_EQ(can_read_zoom(si, &pos), NO_ERROR);
    EXPECT_EQ(pos, 5);
    EXPECT_EQ(can_seed_last_zoom(0), 5);  // seeded from the read
    vcan::set_object_uint(63, 0x2012, 0, 8, 1);
    EXPECT_EQ(can_read_zoom(si, &pos), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(pos, 0);
    EXPECT_EQ(can_read_all_zoom(si), ERR_INVALID_PARAM);
    si->canInfo->brushMotorProductId = 0x267215D5u;
    vcan::set_object_uint(63, 0x2012, 0, 15, 1);
    EXPECT_EQ(can_read_zoom(si, &pos), NO_ERROR);
    EXPECT_EQ(pos, -2);
    si->zoom = 0;
    EXPECT_EQ(can_read_zoom(si, &pos), ERR_ZOOM_NOT_AVAILABLE);
    si->turret = 0;
    uint8_t b;
    EXPECT_EQ(can_read_turret(si, &b), ERR_MOTORIZED_OR_ENCODED_TURRET_NOT_AVAILABLE);

    // Configuration, then all seven zoom positions: the object's six bytes, the seventh none.
    si->zoom = 2;
    vcan::set_object(63, 0x2020, 1, {0x0F, 0x0D});
    ASSERT_EQ(can_get_brmtr_config(si), NO_ERROR);
    EXPECT_EQ(can_state(si)->zoomPosCount, 7);
    EXPECT_EQ(can_state(si)->turretPosCount, 5);
    vcan::set_object(63, 0x2015, 0, {1, 2, 15, 4, 5, 6});
    si->canInfo->zoomPos[6] = 9;
    ASSERT_EQ(can_read_all_zoom(si), NO_ERROR);
    const int32_t want[7] = {1, 2, -2, 4, 5, 6, -2};
    for (int k = 0; k < 7; ++k)
        EXPECT_EQ(si->canInfo->zoomPos[k], want[k]) << k;
    // Without the bridge record: a failure, not a null access.
    si->canInfo.reset();
    EXPECT_EQ(can_read_zoom(si, &pos), ERR_HW_FAIL);
    EXPECT_EQ(can_write_fg_trigger(si, 1), ERR_HW_FAIL);
    EXPECT_EQ(can_set_align_illumination_diode(si, true), NO_ERROR);
}

TEST_F(CanOpsTest, PiScannerTablesAndFirmwareGates)
{
    cantest::set_pi_scanner(si, SB_PI_751);
    vcan::pi_scanner({1.5f, 2.5f}, {10.0f, 20.0f}, 7);
    float amp = 0, vel = 0;
    ASSERT_EQ(can_write_ramp_select(si, 2), NO_ERROR);  // routed to the PI ramp select
    EXPECT_EQ(can_read_pi_ramp_amplitude(si, &amp), NO_ERROR);
    EXPECT_EQ(can_read_pi_ramp_velocity(si, &vel), NO_ERROR);
    EXPECT_EQ(amp, 2.5f);
    EXPECT_EQ(vel, 20.0f);
    EXPECT_EQ(can_write_pi_ramp_select(si, 16), ERR_PARAM_OUT_OF_RANGE);
    cantest::set_pi_scanner(si, SB_PI_DIGITAL);
    EXPECT_EQ(can_write_pi_ramp_select(si, 100), NO_ERROR);
    int32_t tables = 0;
    EXPECT_EQ(can_pi_load_ddl_tables(si, &tables), ERR_INVALID_PARAM);
    cantest::set_pi_scanner(si, SB_PI_751);
    vcan::clear_calls();
    const uint64_t t0 = u_now_ms();
    EXPECT_EQ(can_pi_load_ddl_tables(si, &tables), NO_ERROR);
    EXPECT_EQ(tables, 7);
    EXPECT_EQ(u_now_ms() - t0, 2000u);
    // Ramp valid without a bus access; the status object by firmware ("major > 5 and minor > 5").
    uint8_t v = 0;
    vcan::clear_calls();
    EXPECT_EQ(can_read_ramp_valid(si, 0, &v), NO_ERROR);
    EXPECT_EQ(v, 1);
    EXPECT_TRUE(transfers().empty());
    struct fw { uint8_t major, minor; int index, sub; };
    for (const fw& f : {fw{6, 6, 0x2040, 0}, fw{6, 5, 0x2041, 11}, fw{10, 0, 0x2041, 11}}) {
        si->canInfo->fwMajor = f.major;
        si->canInfo->fwMinor = f.minor;
        vcan::clear_calls();
        vcan::set_object_uint(127, uint16_t(f.index), uint8_t(f.sub), 1, 2);
        EXPECT_EQ(can_read_ramp_status(si, &v), NO_ERROR);
        EXPECT_EQ(v, 3);
        EXPECT_EQ(transfers().back(), xfer(false, 127, f.index, f.sub, 2));
    }
    // The PIFOC offset is not written with a PI scanner.
    vcan::clear_calls();
    EXPECT_EQ(can_write_pifoc_offset(si, 5, true), NO_ERROR);
    EXPECT_TRUE(transfers().empty());
}

TEST_F(CanOpsTest, AlignmentDiodeByBridgeFirmware)
{
    si->canInfo->fwMajor = 10;
    si->canInfo->fwMinor = 8;
    vcan::set_object_uint(127, 0x6200, 1, 0x05, 1);
    ASSERT_EQ(can_set_align_illumination_diode(si, true), NO_ERROR);
    EXPECT_EQ(vcan::object(127, 0x6200, 1), std::vector<uint8_t>{0x04});
    ASSERT_EQ(can_set_align_illumination_diode(si, false), NO_ERROR);
    EXPECT_EQ(vcan::object(127, 0x6200, 1), std::vector<uint8_t>{0x05});
    si->canInfo->fwMinor = 9;
    vcan::clear_calls();
    ASSERT_EQ(can_set_align_illumination_diode(si, true), NO_ERROR);
    EXPECT_EQ(transfers(), (std::vector<std::string>{xfer(true, 127, 0x6240, 1, 1), xfer(true, 127, 0x6220, 1, 1)}));
    EXPECT_EQ(vcan::object(127, 0x6220, 1), std::vector<uint8_t>{1});
    si->canInfo->fwMajor = 0;
    vcan::clear_calls();
    EXPECT_EQ(can_set_align_illumination_diode(si, true), NO_ERROR);
    EXPECT_TRUE(transfers().empty());
    // Without the configuration word the frame grabber trigger is one byte.
    si->canInfo->fwMajor = 1;
    si->canInfo->fwMinor = 11;
    vcan::install_bridge_node(false);
    EXPECT_EQ(can_write_fg_trigger(si, 1), NO_ERROR);
}

// ---- composites on the virtual clock -------------------------------------------------------

void tick() { vcan::ndw_tick(); }

TEST_F(CanOpsTest, NdWheelHomingPollingAndPumpForms)
{
    u_hooks.idle = &tick;
    si->sysType = SYS_MODEL17;
    struct row {
        bool polling;
        int32_t search_ms, move_ms;
        uint8_t result;
        int32_t code;
        uint64_t elapsed;
        const char* line;
    };
    const std::vector<row> rows = {
        {true, 1000, 500, 0x00, NO_ERROR, 1500, ""},
        {false, 1000, 500, 0x00, NO_ERROR, 1500, ""},
        {true, 300, 0, 0x10, ERR_CAN_NDW_HOME_ERROR, 300, "can_home_ndw: llcHomeStatus=16\n"},
        {false, 300, 0, 0x10, ERR_CAN_NDW_HOME_ERROR, 300, "can_home_ndw: llcHomeStatus=16\n"},
        {true, -1, 0, 0x00, ERR_CAN_NDW_HOME_ERROR, 10000, "can_home_ndw: timeout waiting for home search, time=10000 ms\n"},
        {false, -1, 0, 0x00, ERR_CAN_NDW_HOME_ERROR, 10000, "can_home_ndw: timeout waiting for home search, time=10000 ms\n"},
        {true, 9000, 5000, 0x00, ERR_CAN_NDW_HOME_ERROR, 10000,
         "can_home_ndw: timeout waiting for move to initial position, time=10000 ms\n"},
        {false, 9000, 5000, 0x00, ERR_CAN_NDW_HOME_ERROR, 10000,
         "can_home_ndw: timeout waiting for move to initial position, time=10000 ms\n"},
    };
    ASSERT_EQ(can_register_events(sysinfo_slot(0), true), NO_ERROR);
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.polling ? "polling " : "pump ") + r.line);
        vcan::ndw_wheel(r.search_ms, r.move_ms, r.result);
        can_events_reset();
        log_.clear();
        const uint64_t t0 = u_now_ms();
        EXPECT_EQ(can_home_ndw(si, r.polling, 10000), r.code);
        EXPECT_EQ(u_now_ms() - t0, r.elapsed);
        EXPECT_EQ(log_.str(), r.line);
    }
    can_register_events(sysinfo_slot(0), false);
}

TEST_F(CanOpsTest, NdWheelLightLevelResetsTheStopEventAndTheWheelSignalsItWhenSettled)
{
    si->sysType = SYS_MODEL17;
    vcan::ndw_wheel(0, 0, 0x00, 700);
    ASSERT_EQ(can_register_events(sysinfo_slot(0), true), NO_ERROR);
    u_handle stopped = nullptr;
    ASSERT_EQ(u_event_create(true, true, CAN_NDWHEEL_STOPPED, &stopped), NO_ERROR);
    const uint64_t t0 = u_now_ms();
    ASSERT_EQ(can_write_ndw_llcLevel(si, 0x1234, true), NO_ERROR);
    EXPECT_EQ(vcan::object(64, 0x2028, 0), (std::vector<uint8_t>{0xCB, 0xED}));
    EXPECT_EQ(u_wait_one(stopped, 0), U_WAIT_TIMEOUT) << "reset by the write";
    while (u_wait_one(stopped, 0) != 0 && u_now_ms() - t0 < 5000) {
        u_sleep_ms(100);
        vcan::ndw_tick();
        can_process_events(si);
    }
    EXPECT_EQ(u_now_ms() - t0, 700u);
    // A failed write signals it again.
    vcan::set_abort(64, 0x2028, 0, 0x06090011u, 1);
    EXPECT_EQ(can_write_ndw_llcLevel(si, 1, false), ERR_CAN_SDO_NDW_ERROR);
    EXPECT_EQ(u_wait_one(stopped, 0), 0);
    u_close_handle(stopped);
    // Without the event the level is written all the same.
    EXPECT_EQ(can_write_ndw_llcLevel(si, 2, false), NO_ERROR);
    can_register_events(sysinfo_slot(0), false);
}

TEST_F(CanOpsTest, RingSpotSelectionAndAuxMotorTimeOuts)
{
    si->sysType = SYS_MODEL17;
    si->ringSpot = 1;
    vcan::set_object_uint(68, 0x2047, 0, 1, 1);      // ring
    vcan::set_object_uint(68, 0x2036, 0, 300, 2);    // current limit
    vcan::set_object_uint(68, 0x2044, 8, 0x03, 1);   // keypress mode with bit 1
    vcan::motor_moves_on_current(68, 4);
    uint64_t t0 = u_now_ms();
    ASSERT_EQ(can_set_ring_spot(si, 1, true), NO_ERROR);
    EXPECT_EQ(u_now_ms() - t0, 5 * 250u);
    EXPECT_EQ(vcan::object(68, 0x2034, 0), (std::vector<uint8_t>{0xD4, 0xFE}));  // -300
    EXPECT_EQ(vcan::object(68, 0x2044, 8), std::vector<uint8_t>{0x03});         // restored
    // Already there: nothing written.
    vcan::clear_calls();
    EXPECT_EQ(can_set_ring_spot(si, 0, true), NO_ERROR);
    EXPECT_EQ(transfers(), std::vector<std::string>{xfer(false, 68, 0x2047, 0, 1)});
    // A motor that never stops: 500 reads, 250 ms apart; the keypress mode is restored.
    vcan::set_object_uint(68, 0x2047, 0, 2, 1);
    vcan::motor_moves_on_current(68, -1);
    t0 = u_now_ms();
    vcan::clear_calls();
    EXPECT_EQ(can_set_ring_spot(si, 0, true), ERR_RS_TIMEOUT);
    EXPECT_EQ(u_now_ms() - t0, 500 * 250u);
    EXPECT_EQ(vcan::calls_of("CAN_SDORead").size(), 4u + 500u);  // position, keypress, limit twice
    EXPECT_EQ(vcan::object(68, 0x2044, 8), std::vector<uint8_t>{0x03});
    EXPECT_EQ(vcan::object(68, 0x2034, 0), (std::vector<uint8_t>{0x2C, 0x01}));
    // Other models: nothing.
    si->sysType = SYS_MODEL19;
    vcan::clear_calls();
    EXPECT_EQ(can_set_ring_spot(si, 1, true), NO_ERROR);
    EXPECT_TRUE(transfers().empty());

    // Auxiliary motor (Model20): -500, then 21 status reads 250 ms apart.
    si->sysType = SYS_MODEL20;
    vcan::motor_moves_on_current(66, -1);
    t0 = u_now_ms();
    vcan::clear_calls();
    EXPECT_EQ(can_drive_aux_motor(si, false), ERR_AV_TIMEOUT);
    EXPECT_EQ(u_now_ms() - t0, 21 * 250u);
    EXPECT_EQ(vcan::object(66, 0x2034, 0), (std::vector<uint8_t>{0x0C, 0xFE}));
    EXPECT_EQ(vcan::calls_of("CAN_SDORead").size(), 1u + 21u);
    vcan::motor_moves_on_current(66, 2);
    t0 = u_now_ms();
    EXPECT_EQ(can_drive_aux_motor(si, true), NO_ERROR);
    EXPECT_EQ(u_now_ms() - t0, 3 * 250u);
    vcan::set_abort(66, 0x2034, 0, 0x06090011u, 1);
    EXPECT_EQ(can_drive_aux_motor(si, true), ERR_CAN_AUX_MOTOR_ERROR);
    vcan::set_abort(66, 0x2021, 0, 0x06090011u, 1);
    EXPECT_EQ(can_drive_aux_motor(si, true), ERR_CAN_SDO_AUX_MOTOR_ERROR);
}

TEST_F(CanOpsTest, DiffuserDisksLightRangeAndPifocWait)
{
    si->ringSpot = 1;
    vcan::set_object_uint(70, 0x2000, 0, 0x10, 1);
    vcan::set_object_uint(68, 0x2000, 0, 0x11, 1);
    ASSERT_EQ(can_set_diffuser_disks(si, true), NO_ERROR);
    EXPECT_EQ(vcan::object(70, 0x2000, 0), std::vector<uint8_t>{0x11});
    ASSERT_EQ(can_set_diffuser_disks(si, false), NO_ERROR);
    EXPECT_EQ(vcan::object(70, 0x2000, 0), std::vector<uint8_t>{0x10});
    EXPECT_EQ(vcan::object(68, 0x2000, 0), std::vector<uint8_t>{0x10});

    si->currentLight().avgCurLimit[1] = 700;
    si->currentLight().fwdVoltage[1] = 0;
    vcan::clear_calls();
    ASSERT_EQ(can_set_llc_range(si, 1), NO_ERROR);
    EXPECT_EQ(transfers(), std::vector<std::string>{xfer(true, 61, 0x2002, 0, 2)});
    vcan::clear_calls();
    ASSERT_EQ(can_set_llc_range(si, -1), NO_ERROR);
    EXPECT_EQ(vcan::object(61, 0x2002, 0), (std::vector<uint8_t>{0xE8, 0x03}));
    EXPECT_EQ(vcan::object(61, 0x2004, 0), (std::vector<uint8_t>{0x94, 0x11}));
    vcan::set_abort(61, 0x2002, 0, 0x06090011u, 1);
    vcan::clear_calls();
    log_.clear();
    EXPECT_EQ(can_set_llc_range(si, -1), ERR_CAN_SDO_LED_ERROR);
    EXPECT_EQ(transfers().size(), 1u);
    EXPECT_NE(log_.str().find("can_set_llc_range failed: ERR_CAN_SDO_LED_ERROR\n"), std::string::npos);

    ASSERT_EQ(sysinfo_ensure_pifoc(*si), NO_ERROR);
    vcan::busy_for_reads(127, 0x2000, 0, 3, {1}, {0});
    uint64_t t0 = u_now_ms();
    EXPECT_EQ(can_write_pifoc_offset(si, 0x1234, true), NO_ERROR);
    EXPECT_EQ(u_now_ms() - t0, 400u);
    EXPECT_EQ(can_state(si)->pifocWriteTime, u_wall_s());
    vcan::busy_for_reads(127, 0x2000, 0, 100, {1}, {0});
    t0 = u_now_ms();
    EXPECT_EQ(can_write_pifoc_offset(si, 1, true), ERR_RAMP_WAIT_TIMEOUT);
    EXPECT_EQ(u_now_ms() - t0, 2000u);
}

int sleep_resets = 0;
void count_reset() { ++sleep_resets; }
bool agc_on = false;
bool agc_running() { return agc_on; }

TEST_F(CanOpsTest, LightLevelWritesDoNotKeepTheInstrumentAwakeWhileGainControlRuns)
{
    can_set_sleep_reset(&count_reset);
    can_set_agc_running_query(&agc_running);
    sleep_resets = 0;
    agc_on = true;
    EXPECT_EQ(can_write_ndw_llcLevel(si, 100, false), NO_ERROR);
    EXPECT_EQ(sleep_resets, 0);
    uint8_t b = 0;
    EXPECT_EQ(can_read_ndw_status(si, &b), NO_ERROR);
    EXPECT_EQ(sleep_resets, 1);
    agc_on = false;
    EXPECT_EQ(can_write_ndw_llcLevel(si, 100, false), NO_ERROR);
    EXPECT_EQ(sleep_resets, 2);
    can_set_agc_running_query(nullptr);
}

TEST_F(CanOpsTest, RampStartSelectsChecksAndStamps)
{
    si->sysType = SYS_MODEL10;
    rr_instr_ramps_t* set = rr_instr_ramps(si);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(can_start_ramp(si, 0), ERR_NO_RAMP_INFO);
    set->haveSet = true;
    set->ramps.resize(2);
    set->ramps[1].slot = 2;
    vcan::clear_calls();
    EXPECT_EQ(can_start_ramp(si, 2), ERR_INVALID_RAMP_INDEX);
    EXPECT_EQ(can_start_ramp(si, -1), ERR_INVALID_RAMP_INDEX);
    EXPECT_TRUE(transfers().empty());
    // Slot not valid.
    EXPECT_EQ(can_start_ramp(si, 1), ERR_INVALID_RAMP_INDEX);
    vcan::set_object_uint(127, 0x2005, 1, 1, 1);
    vcan::set_object_uint(127, 0x2000, 0, 3, 1);
    log_.clear();
    EXPECT_EQ(can_start_ramp(si, 1), ERR_RAMP_BUSY);
    EXPECT_EQ(log_.str(), "can_start_ramp/pztramp: cannot start ramp, status = 3\n");
    vcan::set_object_uint(127, 0x2000, 0, 0, 1);
    vcan::clear_calls();
    EXPECT_EQ(can_start_ramp(si, 1), NO_ERROR);
    EXPECT_EQ(transfers(), (std::vector<std::string>{xfer(true, 127, 0x2001, 0, 1), xfer(false, 127, 0x2005, 1, 1),
                                                     xfer(false, 127, 0x2000, 0, 1), xfer(true, 127, 0x2000, 0, 1)}));
    EXPECT_EQ(vcan::object(127, 0x2001, 0), std::vector<uint8_t>{2});
    EXPECT_EQ(set->ramps[1].startStamp, u_wall_s());
    // PZT models go to the node selected by rampMux.
    si->sysType = SYS_MODEL20;
    can_state(si)->rampMux = 1;
    vcan::set_object_uint(52, 0x2005, 1, 1, 1);
    EXPECT_EQ(can_start_ramp(si, 1), NO_ERROR);
    EXPECT_EQ(vcan::object(52, 0x2000, 0), std::vector<uint8_t>{1});
    si->sysType = SYS_MODEL01;
    EXPECT_EQ(can_start_ramp(si, 1), ERR_INTERNAL_RV);
    sysinfo_reset_runtime_all();
}

TEST_F(CanOpsTest, DiffuserDisksOffTryBothDisksAndReturnTheFirstFailure)
{
    si->ringSpot = 1;
    vcan::set_object_uint(70, 0x2000, 0, 0x11, 1);
    vcan::set_object_uint(68, 0x2000, 0, 0x11, 1);
    vcan::set_abort(70, 0x2000, 0, 0x06090011u, 1);
    EXPECT_EQ(can_set_diffuser_disks(si, false), ERR_CAN_SDO_ZOOM_ERROR);
    EXPECT_EQ(vcan::object(68, 0x2000, 0), std::vector<uint8_t>{0x10});
    EXPECT_EQ(vcan::object(70, 0x2000, 0), std::vector<uint8_t>{0x11});
    // Both fail: the first failure is the answer.
    vcan::set_abort(70, 0x2000, 0, 0x06090011u, 1);
    vcan::set_abort(68, 0x2000, 0, 0x06090011u, 1);
    EXPECT_EQ(can_set_diffuser_disks(si, false), ERR_CAN_SDO_ZOOM_ERROR);
}

TEST_F(CanOpsTest, PifocOffsetIsWrittenWithoutARecordAndItsTimeKeptOnlyWithOne)
{
    ASSERT_FALSE(si->pifoc);
    can_state(si)->pifocWriteTime = 0;
    ASSERT_EQ(can_write_pifoc_offset(si, 0x1234, false), NO_ERROR);
    EXPECT_EQ(vcan::object(127, 0x2009, 1), (std::vector<uint8_t>{0x34, 0x12}));
    EXPECT_EQ(can_state(si)->pifocWriteTime, 0);
    ASSERT_EQ(sysinfo_ensure_pifoc(*si), NO_ERROR);
    ASSERT_EQ(can_write_pifoc_offset(si, 0, false), NO_ERROR);
    EXPECT_EQ(vcan::object(127, 0x2009, 1), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(can_state(si)->pifocWriteTime, u_wall_s());
}

TEST_F(CanOpsTest, RampStartChecksThePiRampOfANewRampAndFlagsAMismatchInConfigurationBit13)
{
    si->sysType = SYS_MODEL10;
    si->canInfo->fwMajor = 7;
    si->canInfo->fwMinor = 3;
    cantest::set_pi_scanner(si, SB_PI_DIGITAL);
    vcan::pi_scanner({999.0f}, {20.0f}, 0);
    vcan::set_object_uint(127, 0x2010, 2, 0x0100, 2);
    vcan::set_object_uint(127, 0x2041, 11, 0, 2);
    rr_instr_ramps_t* set = rr_instr_ramps(si);
    set->haveSet = true;
    set->ramps.resize(1);
    rr_ramp_t& r = set->ramps[0];
    r.name = "scan10";
    r.slot = 1;
    r.hdr.scanLen = 10.0f;
    r.hdr.scanDir = 1;
    r.hdr.rampSlope = 1000.0f;
    r.hdr.cameraRate = 20.0f;  // 20 nm/s
    log_.clear();
    vcan::clear_calls();
    EXPECT_EQ(can_start_ramp(si, 0), ERR_MISMATCHED_PI_DIG_RAMP_PARAMS);
    EXPECT_EQ(log_.str(), "PI ramp scan10 amplitude = 999, expected 10 um\n");
    EXPECT_EQ(vcan::object(127, 0x2010, 2), (std::vector<uint8_t>{0x00, 0x21}));
    for (const std::string& t : transfers())
        EXPECT_NE(t, xfer(true, 127, 0x2041, 6, 1));  // not started
    EXPECT_EQ(r.startStamp, 0);

    // A matching profile starts; once started the ramp is not checked again.
    vcan::pi_scanner({10.0f}, {20.0f}, 0);
    ASSERT_EQ(can_start_ramp(si, 0), NO_ERROR);
    EXPECT_EQ(r.startStamp, u_wall_s());
    vcan::pi_scanner({999.0f}, {20.0f}, 0);
    EXPECT_EQ(can_start_ramp(si, 0), NO_ERROR);
    // Older bridge firmware has no such check.
    r.startStamp = 0;
    si->canInfo->fwMinor = 2;
    EXPECT_EQ(can_start_ramp(si, 0), NO_ERROR);
    sysinfo_reset_runtime_all();
}

}  // namespace
