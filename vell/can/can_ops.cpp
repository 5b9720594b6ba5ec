// The node operations as one table: a row per simple operation holds its node, object, size,
// abort code, entry check, guard and value rule, and run() carries a row out. The public
// operations are thin entries over the rows; the composite procedures are built from them.
#include "vell/can/can_ops.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <type_traits>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_common.h"
#include "vell/can/can_events.h"
#include "vell/can/can_sdo.h"
#include "vell/can/zoomcal.h"
#include "vell/platform/byte_order.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/ramps/ramp_file.h"
#include "vell/ramps/ramp_pi.h"
#include "vell/ramps/ramp_set.h"

namespace {

using namespace dat_bytes;

std::atomic<can_agc_running_fn> agc_running{nullptr};

constexpr uint32_t RAMP_SAMPLES = 16384;

// Entry checks. dmd: no CAN board gives ERR_INVALID_PARAM; board: ERR_WRONG_INSTR_BOARD; pi: as
// board, and ERR_INVALID_PARAM without a PI digital scanner; pzt: as board, then the PZT ramp
// node that rampMux selects (node and abort code come from it); none: no record needed.
enum class check : uint8_t { none, dmd, board, pi, pzt };

// Per-node wrappers of the motor driver: the availability flag tested first, and the shared
// abort code replaced by the node's.
struct binding {
    uint8_t guard;
    int32_t code;
};
constexpr binding ANY{0, 0};
constexpr binding RS{CAN_NODE_ID_DD_RS, ERR_CAN_SDO_ROF_ERROR};
constexpr binding ZM{CAN_NODE_ID_DD_ZOOM, ERR_CAN_SDO_ZOOM_ERROR};
constexpr binding NDW{CAN_NODE_ID_FOCUS_NDW, ERR_CAN_SDO_NDW_ERROR};
constexpr binding FZM{CAN_NODE_ID_FOCUS_NDW, ERR_CAN_SDO_FZM_ERROR};

// How a value travels and which values a write accepts (lo > hi: any).
enum class kind : uint8_t { u, f, khz };  // unsigned integer; float; float kHz sent x 1000
struct rule {
    kind k;
    double lo, hi;
    int32_t refuse;
    const char* msg;  // printed with the operation's name and the value on a refusal
};
constexpr rule U{kind::u, 1, 0, 0, nullptr};
constexpr rule F{kind::f, 1, 0, 0, nullptr};
constexpr rule MODE{kind::u, 0, 4, ERR_INVALID_PARAM, "%s: invalid mode=%d\n"};
constexpr rule VEL{kind::f, 10, 10000, ERR_INVALID_PARAM, nullptr};
constexpr rule KHZ{kind::khz, 0, 200, ERR_PARAM_OUT_OF_RANGE, nullptr};
constexpr rule SLOT{kind::u, 0, 3, ERR_PARAM_OUT_OF_RANGE, nullptr};
constexpr rule GAIN{kind::u, 0, 0x3FFF, ERR_PARAM_OUT_OF_RANGE, nullptr};
constexpr rule WORD{kind::u, 0, 0xFFFF, ERR_PARAM_OUT_OF_RANGE, nullptr};
constexpr rule TO1000{kind::u, 0, 1000, ERR_PARAM_OUT_OF_RANGE, nullptr};
constexpr rule TO10000{kind::u, 0, 10000, ERR_PARAM_OUT_OF_RANGE, nullptr};
constexpr rule TO1M{kind::u, 0, 1000000, ERR_PARAM_OUT_OF_RANGE, nullptr};

constexpr uint8_t ARG = 0;  // node given by the caller (motor driver family)
constexpr uint8_t PZT = 1;  // node selected by rampMux
constexpr uint8_t BR = CAN_NODE_ID_RAMP, LED = CAN_NODE_ID_LED, BRM = CAN_NODE_ID_BRUSHMOTOR;
constexpr uint8_t ENC = CAN_NODE_ID_FOCUS_NDW;
constexpr uint8_t RSN = CAN_NODE_ID_DD_RS, ZMN = CAN_NODE_ID_DD_ZOOM, NDN = CAN_NODE_ID_FOCUS_NDW;
constexpr bool R = false, W = true;
constexpr int32_t DMD = ERR_CAN_SDO_DMD_ERROR, RMP = ERR_CAN_SDO_RAMP_ERROR, BRG = ERR_CAN_SDO_BRIDGE_ERROR;
constexpr int32_t LEDA = ERR_CAN_SDO_LED_ERROR, BRMA = ERR_CAN_SDO_BRMOTOR_ERROR, ENCA = ERR_CAN_SDO_ENC_ZOOM_ERROR;

// What the record must hold besides the CAN board: a turret (type 1 or 2), a zoom changer and
// the bridge record, the bridge record, the HXI zoom record.
enum class need : uint8_t { nothing, turret, zoom, can_info, hxi_zoom };

struct row {
    const char* name;
    uint8_t node;
    uint16_t index;
    uint8_t sub;
    uint32_t size;  // bytes; 0: a block whose size the caller gives
    bool write;
    int32_t abort;
    check chk;
    binding bind;
    bool slotted;  // object index + ramp slot k (0 to 3)
    rule val;
    need needs = need::nothing;
};

enum op : uint8_t {
    M1_CONTROL_R, M1_CONTROL_W, M1_MODE, M1_VEL, M2_CONTROL, M2_STATUS, M2_LLC_R, M2_LLC_W, M2_MAXCUR, M2_CURRENT,
    M2_POSITION, KEYPRESS_R, KEYPRESS_W,
    RS_CONTROL_R, RS_CONTROL_W, RS_MODE, RS_STATUS, RS_MAXCUR, RS_CURRENT, RS_POSITION, RS_KEYPRESS_R, RS_KEYPRESS_W,
    ZM_CONTROL_R, ZM_CONTROL_W, ZM_MODE, ZM_VEL, ZM_KEYPRESS_R, ZM_KEYPRESS_W,
    NDW_CONTROL, NDW_STATUS, NDW_LLC_R, NDW_LLC_W, FZM_KEYPRESS_R, FZM_KEYPRESS_W,
    BRIDGE_STATUS, CONFIG_R, CONFIG_W, FG_TRIGGER, FG_TRIGGER8, DIGOUT_R, DIGOUT_W, DIODE_ENABLE, DIODE_SET, SYNCGEN,
    RAMP_START, RAMP_STATUS, RAMP_SELECT, RAMP_VALID, RAMP_TRIGGER, RAMP_RATE, RAMP_DATA, PIFOC_OFFSET,
    PI_START, PI_SELECT, PI_STATUS, PI_STATUS_OLD, PI_AMPLITUDE, PI_VELOCITY, PI_INTEGER, PI_DDL_LOAD,
    PZT_START, PZT_STATUS, PZT_SELECT, PZT_VALID, PZT_TRIGGER, PZT_RATE, PZT_DATA, PZT_GAIN1, PZT_GAIN2, PZT_GAIN3,
    PZT_ERRCHK,
    LED_SETUP, LLC_W, LLC_R, LLC_AVGCURLMT, LLC_FWDVLT, LLC_PWMFREQ,
    TURRET, TURRET_STATUS, ZOOM, ALL_ZOOM, BRMTR_CONFIG,
    ENC_LOW, ENC_HIGH, ENC_MODE, ENC_BACKLASH,
    OP_COUNT
};

// clang-format off
constexpr row table[OP_COUNT] = {
    // multi-node motor driver: node from the caller
    {"can_read_dmd_motor1_control",    ARG, 0x2000, 0, 1, R, DMD, check::dmd, ANY, false, U},
    {"can_write_dmd_motor1_control",   ARG, 0x2000, 0, 1, W, DMD, check::dmd, ANY, false, U},
    {"can_write_dmd_motor1_mode",      ARG, 0x2002, 0, 1, W, DMD, check::dmd, ANY, false, MODE},
    {"can_write_dmd_motor1_targetVel", ARG, 0x2004, 0, 4, W, DMD, check::dmd, ANY, false, VEL},
    {"can_write_dmd_motor2_control",   ARG, 0x2020, 0, 1, W, DMD, check::dmd, ANY, false, U},
    {"can_read_dmd_motor2_status",     ARG, 0x2021, 0, 1, R, DMD, check::dmd, ANY, false, U},
    {"can_read_dmd_motor2_llcLevel",   ARG, 0x2028, 0, 2, R, DMD, check::dmd, ANY, false, U},
    {"can_write_dmd_motor2_llcLevel",  ARG, 0x2028, 0, 2, W, DMD, check::dmd, ANY, false, U},
    {"can_read_dmd_motor2_maxCurrent", ARG, 0x2036, 0, 2, R, DMD, check::dmd, ANY, false, U},
    {"can_write_dmd_motor2_current",   ARG, 0x2034, 0, 2, W, DMD, check::dmd, ANY, false, U},
    {"can_read_dmd_motor2_position",   ARG, 0x2047, 0, 1, R, DMD, check::dmd, ANY, false, U},
    {"can_read_dmd_keypress_mode",     ARG, 0x2044, 8, 1, R, DMD, check::dmd, ANY, false, U},
    {"can_write_dmd_keypress_mode",    ARG, 0x2044, 8, 1, W, DMD, check::dmd, ANY, false, U},
    // the motor driver on its nodes
    {"can_read_rs_dd_control",         RSN, 0x2000, 0, 1, R, DMD, check::dmd, RS, false, U},
    {"can_write_rs_dd_control",        RSN, 0x2000, 0, 1, W, DMD, check::dmd, RS, false, U},
    {"can_write_rs_dd_mode",           RSN, 0x2002, 0, 1, W, DMD, check::dmd, RS, false, MODE},
    {"can_read_rs_status",             RSN, 0x2021, 0, 1, R, DMD, check::dmd, RS, false, U},
    {"can_read_rs_maxCurrent",         RSN, 0x2036, 0, 2, R, DMD, check::dmd, RS, false, U},
    {"can_write_rs_current",           RSN, 0x2034, 0, 2, W, DMD, check::dmd, RS, false, U},
    {"can_read_rs_position",           RSN, 0x2047, 0, 1, R, DMD, check::dmd, RS, false, U},
    {"can_read_rs_keypress_mode",      RSN, 0x2044, 8, 1, R, DMD, check::dmd, RS, false, U},
    {"can_write_rs_keypress_mode",     RSN, 0x2044, 8, 1, W, DMD, check::dmd, RS, false, U},
    {"can_read_zoom_dd_control",       ZMN, 0x2000, 0, 1, R, DMD, check::dmd, ZM, false, U},
    {"can_write_zoom_dd_control",      ZMN, 0x2000, 0, 1, W, DMD, check::dmd, ZM, false, U},
    {"can_write_zoom_dd_mode",         ZMN, 0x2002, 0, 1, W, DMD, check::dmd, ZM, false, MODE},
    {"can_write_zoom_dd_targetVel",    ZMN, 0x2004, 0, 4, W, DMD, check::dmd, ZM, false, VEL},
    {"can_read_zoom_keypress_mode",    ZMN, 0x2044, 8, 1, R, DMD, check::dmd, ZM, false, U},
    {"can_write_zoom_keypress_mode",   ZMN, 0x2044, 8, 1, W, DMD, check::dmd, ZM, false, U},
    {"can_write_ndw_control",          NDN, 0x2020, 0, 1, W, DMD, check::dmd, NDW, false, U},
    {"can_read_ndw_status",            NDN, 0x2021, 0, 1, R, DMD, check::dmd, NDW, false, U},
    {"can_read_ndw_llcLevel",          NDN, 0x2028, 0, 2, R, DMD, check::dmd, NDW, false, U},
    {"can_write_ndw_llcLevel",         NDN, 0x2028, 0, 2, W, DMD, check::dmd, NDW, false, U},
    {"can_read_focus_keypress_mode",   NDN, 0x2044, 8, 1, R, DMD, check::dmd, FZM, false, U},
    {"can_write_focus_keypress_mode",  NDN, 0x2044, 8, 1, W, DMD, check::dmd, FZM, false, U},
    // bridge node 127
    {"can_read_bridge_status",         BR, 0x2010, 1, 1, R, BRG, check::board, ANY, false, U},
    {"can_bridge_read_config",         BR, 0x2010, 2, 2, R, RMP, check::board, ANY, false, U},
    {"can_bridge_write_config",        BR, 0x2010, 2, 2, W, RMP, check::board, ANY, false, U},
    {"can_write_fg_trigger",           BR, 0x2010, 5, 2, W, RMP, check::board, ANY, false, U, need::can_info},
    {"can_write_fg_trigger",           BR, 0x2010, 5, 1, W, RMP, check::board, ANY, false, U, need::can_info},
    {"can_bridge_read_digitalout",     BR, 0x6200, 1, 1, R, BRG, check::board, ANY, false, U},
    {"can_bridge_write_digitalout",    BR, 0x6200, 1, 1, W, BRG, check::board, ANY, false, U},
    {"can_set_align_illumination_diode", BR, 0x6240, 1, 1, W, BRG, check::board, ANY, false, U},
    {"can_set_align_illumination_diode", BR, 0x6220, 1, 1, W, BRG, check::board, ANY, false, U},
    {"can_write_syncgen",              BR, 0x2030, 0, 4, W, RMP, check::board, ANY, false, F},
    {"can_ramp_start",                 BR, 0x2000, 0, 1, W, RMP, check::board, ANY, false, U},
    {"can_read_ramp_status",           BR, 0x2000, 0, 1, R, RMP, check::board, ANY, false, U},
    {"can_write_ramp_select",          BR, 0x2001, 0, 1, W, RMP, check::board, ANY, false, SLOT},
    {"can_read_ramp_valid",            BR, 0x2003, 1, 1, R, RMP, check::board, ANY, true, U},
    {"can_write_ramp_trigger",         BR, 0x2003, 2, 2, W, RMP, check::board, ANY, true, U},
    {"can_write_ramp_rate",            BR, 0x2003, 4, 4, W, RMP, check::board, ANY, true, KHZ},
    {"can_write_ramp_data",            BR, 0x2003, 5, 0, W, RMP, check::board, ANY, true, U},
    {"can_write_pifoc_offset",         BR, 0x2009, 1, 2, W, RMP, check::board, ANY, false, WORD},
    {"can_pi_ramp_start",              BR, 0x2041, 6, 1, W, RMP, check::pi, ANY, false, U},
    {"can_write_pi_ramp_select",       BR, 0x2041, 1, 1, W, RMP, check::pi, ANY, false, U},
    {"can_read_pi_ramp_status",        BR, 0x2040, 0, 2, R, RMP, check::pi, ANY, false, U, need::can_info},
    {"can_read_pi_ramp_status",        BR, 0x2041, 11, 2, R, RMP, check::pi, ANY, false, U, need::can_info},
    {"can_read_pi_ramp_amplitude",     BR, 0x2041, 2, 4, R, RMP, check::pi, ANY, false, F},
    {"can_read_pi_ramp_velocity",      BR, 0x2041, 3, 4, R, RMP, check::pi, ANY, false, F},
    {"can_read_pi_serial_integer",     BR, 0x2041, 0, 2, R, RMP, check::pi, ANY, false, U},
    {"can_pi_load_ddl_tables",         BR, 0x2041, 19, 1, W, RMP, check::pi, ANY, false, U},
    // PZT ramp node (62 or 52 by rampMux; abort code of that node)
    {"can_pztramp_start",              PZT, 0x2000, 0, 1, W, 0, check::pzt, ANY, false, U},
    {"can_read_pztramp_status",        PZT, 0x2000, 0, 1, R, 0, check::pzt, ANY, false, U},
    {"can_write_pztramp_select",       PZT, 0x2001, 0, 1, W, 0, check::pzt, ANY, false, SLOT},
    {"can_read_pztramp_valid",         PZT, 0x2003, 1, 1, R, 0, check::pzt, ANY, true, U},
    {"can_write_pztramp_trigger",      PZT, 0x2003, 2, 2, W, 0, check::pzt, ANY, true, U},
    {"can_write_pztramp_rate",         PZT, 0x2003, 4, 4, W, 0, check::pzt, ANY, true, KHZ},
    {"can_write_pztramp_data",         PZT, 0x2003, 5, 0, W, 0, check::pzt, ANY, true, U},
    {"can_write_pztramp_gain",         PZT, 0x2003, 6, 2, W, 0, check::pzt, ANY, true, GAIN},
    {"can_write_pztramp_gain",         PZT, 0x2003, 7, 2, W, 0, check::pzt, ANY, true, GAIN},
    {"can_write_pztramp_gain",         PZT, 0x2003, 8, 2, W, 0, check::pzt, ANY, true, GAIN},
    {"can_read_pztramp_errchk",        PZT, 0x1002, 0, 4, R, 0, check::pzt, ANY, false, U},
    // LED node 61
    {"can_write_led_setup",            LED, 0x2000, 0, 1, W, LEDA, check::board, ANY, false, U},
    {"can_write_llc",                  LED, 0x2001, 0, 2, W, LEDA, check::board, ANY, false, U},
    {"can_read_llc",                   LED, 0x2001, 0, 2, R, LEDA, check::board, ANY, false, U},
    {"can_write_llc_avgcurlmt",        LED, 0x2002, 0, 2, W, LEDA, check::board, ANY, false, TO1000},
    {"can_write_llc_fwdvlt",           LED, 0x2004, 0, 2, W, LEDA, check::board, ANY, false, TO10000},
    {"can_write_llc_pwmfreq",          LED, 0x2006, 0, 4, W, LEDA, check::board, ANY, false, TO1M},
    // dual brush motor node 63
    {"can_read_turret",                BRM, 0x2002, 0, 1, R, BRMA, check::board, ANY, false, U, need::turret},
    {"can_read_turret_status",         BRM, 0x2001, 0, 1, R, BRMA, check::board, ANY, false, U, need::turret},
    {"can_read_zoom",                  BRM, 0x2012, 0, 1, R, BRMA, check::board, ANY, false, U, need::zoom},
    {"can_read_all_zoom",              BRM, 0x2015, 0, 0, R, BRMA, check::board, ANY, false, U, need::zoom},
    {"can_get_brmtr_config",           BRM, 0x2020, 1, 0, R, BRMA, check::board, ANY, false, U},
    // HXI encoded zoom on node 64
    {"hxi_enc_zoom_set_soft_limits",   ENC, 0x607D, 1, 4, W, ENCA, check::none, ANY, false, U},
    {"hxi_enc_zoom_set_soft_limits",   ENC, 0x607D, 2, 4, W, ENCA, check::none, ANY, false, U},
    {"hxi_enc_zoom_set_motion_mode",   ENC, 0x2002, 0, 1, W, ENCA, check::board, ANY, false, U, need::hxi_zoom},
    {"hxi_enc_zoom_set_backlash",      ENC, 0x2019, 0, 4, W, ENCA, check::board, ANY, false, U, need::hxi_zoom},
};
// clang-format on

bool is_can(const SysInfo* si) { return si->instrBdType == BD_CAN; }
bool pi_scanner(const SysInfo* si) { return si != nullptr && sysinfo_pi_scanner(*si) != 0; }

// The PZT ramp node selected by rampMux: 0 with its node and abort code, else the failure.
int32_t pzt_node(SysInfo* si, uint8_t* node, int32_t* abort)
{
    const can_slot_state* st = can_state(si);
    const int32_t mux = st->rampMux;
    if (mux != 0 && mux != 1) {
        u_log_sink("Invalid parameter si->rampMux=%d\n", static_cast<int>(mux));
        return ERR_INVALID_PARAM;
    }
    if (!(mux == 0 ? st->avail.canTriplePztAvail : st->avail.canLargeApAvail)) {
        u_log_sink(mux == 0 ? "The triple PZT node is not available\n" : "The large aperture PZT power node is not available\n");
        return ERR_CAN_NODE_NOT_AVAIL;
    }
    *node = mux == 0 ? CAN_NODE_ID_TRIPLEPZT : CAN_NODE_ID_LARGEAP;
    *abort = mux == 0 ? ERR_CAN_SDO_PZT_ERROR : ERR_CAN_SDO_LAP_ERROR;
    return NO_ERROR;
}

// Where a row goes: the node, its object index and the abort code.
struct target {
    uint8_t node = 0;
    uint16_t index = 0;
    int32_t abort = 0;
};

// The row's checks in order (record, guard, board, scanner or PZT node, ramp slot), without a
// bus access.
int32_t enter(op id, SysInfo* si, target* t, uint8_t node = ARG, int32_t k = 0)
{
    const row& r = table[id];
    if (r.chk != check::none) {
        if (si == nullptr)
            return ERR_SYS_INFO_NOT_AVAIL;
        if (r.bind.guard != 0)
            if (int32_t g = can_node_guard(si, r.bind.guard, r.name); g != NO_ERROR)
                return g;
        if (!is_can(si))
            return r.chk == check::dmd ? ERR_INVALID_PARAM : ERR_WRONG_INSTR_BOARD;
        if (r.chk == check::pi && !pi_scanner(si))
            return ERR_INVALID_PARAM;
        if (r.needs == need::turret && si->turret != 1 && si->turret != 2)
            return ERR_MOTORIZED_OR_ENCODED_TURRET_NOT_AVAILABLE;
        if (r.needs == need::zoom && si->zoom == 0)
            return ERR_ZOOM_NOT_AVAILABLE;
        if ((r.needs == need::zoom || r.needs == need::can_info) && !si->canInfo)
            return ERR_HW_FAIL;
        if (r.needs == need::hxi_zoom && !si->hxiZoom)
            return ERR_HW_FAIL;
    }
    t->node = r.node == ARG ? node : r.node;
    t->abort = r.abort;
    if (r.chk == check::pzt)
        if (int32_t rc = pzt_node(si, &t->node, &t->abort); rc != NO_ERROR)
            return rc;
    t->index = r.index;
    if (r.slotted) {
        if (k < 0 || k > 3)
            return ERR_PARAM_OUT_OF_RANGE;
        t->index = static_cast<uint16_t>(r.index + k);
    }
    return NO_ERROR;
}

int32_t finish(const row& r, int32_t rc) { return r.bind.code != 0 && rc == ERR_CAN_SDO_DMD_ERROR ? r.bind.code : rc; }

// Carries a row out. Writes send v by the row's value rule after its range check; reads leave
// the raw value in *raw (float rows: its bits).
int32_t run(op id, SysInfo* si, double v, uint32_t* raw = nullptr, uint8_t node = ARG, int32_t k = 0, bool reset = true)
{
    const row& r = table[id];
    target t;
    if (int32_t rc = enter(id, si, &t, node, k); rc != NO_ERROR)
        return rc;
    const rule& val = r.val;
    if (r.write && val.lo <= val.hi && !(v >= val.lo && v <= val.hi)) {
        if (val.msg != nullptr)
            u_log_sink(val.msg, r.name, static_cast<int>(v));
        return val.refuse;
    }
    uint8_t b[4] = {};
    if (!r.write) {
        int32_t rc = can_sdo_read2(t.node, t.index, r.sub, b, r.size, reset, t.abort, r.name);
        if (rc == NO_ERROR && raw != nullptr)
            *raw = r.size == 1 ? b[0] : r.size == 2 ? load_le16(b) : load_le32(b);
        return finish(r, rc);
    }
    uint32_t bits;
    if (val.k == kind::u) {
        bits = static_cast<uint32_t>(static_cast<int64_t>(v));
    } else {
        const float f = val.k == kind::khz ? static_cast<float>(v) * 1000.0f : static_cast<float>(v);
        std::memcpy(&bits, &f, 4);
    }
    if (r.size == 1)
        b[0] = static_cast<uint8_t>(bits);
    else if (r.size == 2)
        store_le16(b, static_cast<uint16_t>(bits));
    else
        store_le32(b, bits);
    return finish(r, can_sdo_write2(t.node, t.index, r.sub, b, r.size, reset, t.abort, r.name));
}

// A read into a typed out-parameter, left alone on failure.
template <class T>
int32_t get(op id, SysInfo* si, T* out, uint8_t node = ARG, int32_t k = 0)
{
    uint32_t raw = 0;
    int32_t rc = run(id, si, 0, &raw, node, k);
    if (rc == NO_ERROR && out != nullptr) {
        if constexpr (std::is_same_v<T, float>)
            std::memcpy(out, &raw, 4);
        else
            *out = static_cast<T>(raw);
    }
    return rc;
}

int32_t put(op id, SysInfo* si, double v, uint8_t node = ARG, int32_t k = 0) { return run(id, si, v, nullptr, node, k); }

// A block transfer of the row's object (ramp samples, multi-byte records).
int32_t block(op id, SysInfo* si, uint8_t* bytes, uint32_t size, int32_t k = 0)
{
    const row& r = table[id];
    target t;
    if (int32_t rc = enter(id, si, &t, ARG, k); rc != NO_ERROR)
        return rc;
    return r.write ? can_sdo_write2(t.node, t.index, r.sub, bytes, size, true, t.abort, r.name)
                   : can_sdo_read2(t.node, t.index, r.sub, bytes, size, true, t.abort, r.name);
}

uint16_t inverted(uint16_t v, bool invert) { return invert ? static_cast<uint16_t>(~v) : v; }

int32_t read_level(op id, SysInfo* si, uint8_t node, uint16_t* level, bool invert)
{
    uint16_t v = 0;
    int32_t rc = get(id, si, &v, node);
    if (rc == NO_ERROR && level != nullptr)
        *level = inverted(v, invert);
    return rc;
}

// The motor current: the current limit is read first (it must answer; its value is not used).
int32_t write_current(op limit, op current, SysInfo* si, uint8_t node, int16_t value)
{
    uint16_t unused = 0;
    int32_t rc = get(limit, si, &unused, node);
    return rc != NO_ERROR ? rc : put(current, si, value, node);
}

// The frame number of a ramp trigger, refused (with the row's message) outside [0, top].
int32_t trigger(op id, SysInfo* si, int32_t k, const rr_ramp_hdr_t& hdr, bool doubled, int32_t top)
{
    target t;
    if (int32_t rc = enter(id, si, &t, ARG, k); rc != NO_ERROR)
        return rc;
    int32_t frame = -1;
    bool ok = can_ramp_frame_number(hdr, &frame);
    if (ok && doubled) {
        const int64_t d = 2 * static_cast<int64_t>(frame) + 1;
        ok = d <= INT32_MAX;
        frame = ok ? static_cast<int32_t>(d) : -1;
    }
    if (!ok || frame < 0 || frame > top) {
        if (top == 255)
            u_log_sink("%s: calculated frameNumber=%d outside of valid range\n", table[id].name, static_cast<int>(frame));
        else
            u_log_sink("%s: calculated frameNumber=%d outside of valid range [%d,%d]\n", table[id].name,
                       static_cast<int>(frame), 0, top);
        return ERR_PARAM_OUT_OF_RANGE;
    }
    return put(id, si, frame, ARG, k);
}

bool zoom_reported_by_pdo(const SysInfo* si)
{
    return si->zoom == 1 && si->canInfo->brushMotorProductId == CAN_BRMOTOR_PRODUCT_D7;
}

// Waits in steps of `step` ms, at most `tries` reads of the status byte, until bit 1 (moving)
// clears: 0, the read's failure, or `timeout`.
int32_t wait_motor_stopped(const std::function<int32_t(uint8_t*)>& read, uint32_t step, int tries, int32_t timeout)
{
    for (int i = 0; i < tries; ++i) {
        can_pause_ms(step);
        uint8_t status = 0;
        if (int32_t rc = read(&status); rc != NO_ERROR)
            return rc;
        if ((status & 2) == 0)
            return NO_ERROR;
    }
    return timeout;
}

}  // namespace

void can_set_agc_running_query(can_agc_running_fn fn) { agc_running.store(fn, std::memory_order_release); }

bool can_ramp_frame_number(const rr_ramp_hdr_t& hdr, int32_t* frame)
{
    const double clk = static_cast<double>(hdr.sampleClkFreq);
    const double rate = static_cast<double>(hdr.cameraRate);
    if (!(clk > 0) || !std::isfinite(clk) || !std::isfinite(rate))
        return false;
    const double f = static_cast<double>(hdr.trigStartAddr) * rate / (clk * 1000.0) + 0.5;
    if (!std::isfinite(f) || f <= -2147483648.0 || f >= 2147483648.0)
        return false;
    *frame = static_cast<int32_t>(f);
    return true;
}

// ---- Motor driver, on any node and on its own nodes -------------------------------------------

int32_t can_read_dmd_motor1_control(SysInfo* si, uint8_t node, uint8_t* v) { return get(M1_CONTROL_R, si, v, node); }
int32_t can_write_dmd_motor1_control(SysInfo* si, uint8_t node, uint8_t v) { return put(M1_CONTROL_W, si, v, node); }
int32_t can_write_dmd_motor1_mode(SysInfo* si, uint8_t node, int32_t mode) { return put(M1_MODE, si, mode, node); }
int32_t can_write_dmd_motor1_targetVel(SysInfo* si, uint8_t node, float vel) { return put(M1_VEL, si, vel, node); }
int32_t can_write_dmd_motor2_control(SysInfo* si, uint8_t node, uint8_t v) { return put(M2_CONTROL, si, v, node); }
int32_t can_read_dmd_motor2_status(SysInfo* si, uint8_t node, uint8_t* v) { return get(M2_STATUS, si, v, node); }
int32_t can_read_dmd_motor2_llcLevel(SysInfo* si, uint8_t node, uint16_t* level, bool invert)
{
    return read_level(M2_LLC_R, si, node, level, invert);
}
int32_t can_write_dmd_motor2_llcLevel(SysInfo* si, uint8_t node, uint16_t level, bool invert)
{
    // Gain control's own writes do not count as activity for the sleep-mode service.
    can_agc_running_fn fn = agc_running.load(std::memory_order_acquire);
    const bool reset = !(fn != nullptr && fn());
    return run(M2_LLC_W, si, inverted(level, invert), nullptr, node, 0, reset);
}
int32_t can_read_dmd_motor2_maxCurrent(SysInfo* si, uint8_t node, uint16_t* v) { return get(M2_MAXCUR, si, v, node); }
int32_t can_write_dmd_motor2_current(SysInfo* si, uint8_t node, int16_t current)
{
    return write_current(M2_MAXCUR, M2_CURRENT, si, node, current);
}
int32_t can_read_dmd_motor2_position(SysInfo* si, uint8_t node, uint8_t* v) { return get(M2_POSITION, si, v, node); }
int32_t can_read_dmd_keypress_mode(SysInfo* si, uint8_t node, uint8_t* mode) { return get(KEYPRESS_R, si, mode, node); }
int32_t can_write_dmd_keypress_mode(SysInfo* si, uint8_t node, uint8_t mode) { return put(KEYPRESS_W, si, mode, node); }

int32_t can_read_rs_dd_control(SysInfo* si, uint8_t* v) { return get(RS_CONTROL_R, si, v); }
int32_t can_write_rs_dd_control(SysInfo* si, uint8_t v) { return put(RS_CONTROL_W, si, v); }
int32_t can_write_rs_dd_mode(SysInfo* si, int32_t mode) { return put(RS_MODE, si, mode); }
int32_t can_read_rs_status(SysInfo* si, uint8_t* v) { return get(RS_STATUS, si, v); }
int32_t can_write_rs_current(SysInfo* si, int16_t current) { return write_current(RS_MAXCUR, RS_CURRENT, si, ARG, current); }
int32_t can_read_rs_maxCurrent(SysInfo* si, uint16_t* v) { return get(RS_MAXCUR, si, v); }
int32_t can_read_rs_keypress_mode(SysInfo* si, uint8_t* v) { return get(RS_KEYPRESS_R, si, v); }
int32_t can_write_rs_keypress_mode(SysInfo* si, uint8_t v) { return put(RS_KEYPRESS_W, si, v); }
int32_t can_read_rs_position(SysInfo* si, uint8_t* position)
{
    if (position != nullptr)
        *position = 255;
    uint8_t raw = 0;
    int32_t rc = get(RS_POSITION, si, &raw);
    if (rc == NO_ERROR && position != nullptr)
        *position = raw == 1 ? 0 : raw == 2 ? 1 : 255;
    return rc;
}

int32_t can_read_zoom_dd_control(SysInfo* si, uint8_t* v) { return get(ZM_CONTROL_R, si, v); }
int32_t can_write_zoom_dd_control(SysInfo* si, uint8_t v) { return put(ZM_CONTROL_W, si, v); }
int32_t can_write_zoom_dd_mode(SysInfo* si, int32_t mode) { return put(ZM_MODE, si, mode); }
int32_t can_read_zoom_keypress_mode(SysInfo* si, uint8_t* v) { return get(ZM_KEYPRESS_R, si, v); }
int32_t can_write_zoom_keypress_mode(SysInfo* si, uint8_t v) { return put(ZM_KEYPRESS_W, si, v); }
int32_t can_write_zoom_dd_targetVel(SysInfo* si, float velocity)
{
    int32_t rc = put(ZM_VEL, si, velocity);
    if (rc == NO_ERROR)
        can_state(si)->zoomDdTargetVel = velocity;
    return rc;
}

int32_t can_write_ndw_control(SysInfo* si, uint8_t v) { return put(NDW_CONTROL, si, v); }
int32_t can_read_ndw_status(SysInfo* si, uint8_t* v) { return get(NDW_STATUS, si, v); }
int32_t can_read_ndw_llcLevel(SysInfo* si, uint16_t* v, bool invert) { return read_level(NDW_LLC_R, si, ARG, v, invert); }
int32_t can_read_focus_keypress_mode(SysInfo* si, uint8_t* v) { return get(FZM_KEYPRESS_R, si, v); }
int32_t can_write_focus_keypress_mode(SysInfo* si, uint8_t v) { return put(FZM_KEYPRESS_W, si, v); }

int32_t can_write_ndw_llcLevel(SysInfo* si, uint16_t level, bool invert)
{
    target t;  // record and guard first; the board is refused by the write itself
    if (int32_t rc = enter(NDW_LLC_W, si, &t); rc != NO_ERROR && rc != ERR_INVALID_PARAM)
        return rc;
    can_process_events(si);
    // The wheel is about to move: its stop event is reset now and signalled by the decoder
    // when the wheel reports that it stopped. Without the event the level is written alone.
    u_handle stopped = nullptr;
    const bool have_event = u_event_open(CAN_NDWHEEL_STOPPED, &stopped) == NO_ERROR;
    if (have_event)
        u_event_reset(stopped);
    can_agc_running_fn fn = agc_running.load(std::memory_order_acquire);
    const bool reset = !(fn != nullptr && fn());
    int32_t rc = run(NDW_LLC_W, si, inverted(level, invert), nullptr, ARG, 0, reset);
    if (have_event) {
        if (rc != NO_ERROR)
            u_event_set(stopped);
        u_close_handle(stopped);
    }
    return rc;
}

// ---- Bridge node ------------------------------------------------------------------------------

int32_t can_read_bridge_status(SysInfo* si, uint8_t* status) { return get(BRIDGE_STATUS, si, status); }
int32_t can_bridge_read_config(SysInfo* si, uint16_t* config) { return get(CONFIG_R, si, config); }
int32_t can_bridge_write_config(SysInfo* si, uint16_t config) { return put(CONFIG_W, si, config); }
int32_t can_bridge_read_digitalout(SysInfo* si, uint8_t* value) { return get(DIGOUT_R, si, value); }
int32_t can_bridge_write_digitalout(SysInfo* si, uint8_t value) { return put(DIGOUT_W, si, value); }
int32_t can_write_syncgen(SysInfo* si) { return put(SYNCGEN, si, si != nullptr ? si->cameraRate.load() : 0.0f); }
int32_t can_write_fg_trigger(SysInfo* si, uint16_t value)
{
    target t;
    if (int32_t rc = enter(FG_TRIGGER, si, &t); rc != NO_ERROR)
        return rc;
    return put(can_config_word_supported(*si->canInfo) ? FG_TRIGGER : FG_TRIGGER8, si, value);
}
int32_t can_set_align_illumination_diode(SysInfo* si, bool on)
{
    target t;
    if (int32_t rc = enter(DIODE_SET, si, &t); rc != NO_ERROR)
        return rc;
    if (!si->canInfo || si->canInfo->fwMajor == 0)
        return NO_ERROR;
    const CanInfo& c = *si->canInfo;
    if (c.fwMajor < 10 || (c.fwMajor == 10 && c.fwMinor < 9)) {
        // Older firmware: bit 0 of the digital output, cleared for on.
        uint8_t out = 0;
        int32_t rc = get(DIGOUT_R, si, &out);
        return rc != NO_ERROR ? rc : put(DIGOUT_W, si, on ? (out & ~1u) : (out | 1u));
    }
    int32_t rc = put(DIODE_ENABLE, si, 1);
    return rc != NO_ERROR ? rc : put(DIODE_SET, si, on ? 1 : 0);
}

int32_t can_ramp_start(SysInfo* si)
{
    target t;
    if (int32_t rc = enter(RAMP_START, si, &t); rc != NO_ERROR)
        return rc;
    return pi_scanner(si) ? can_pi_ramp_start(si) : put(RAMP_START, si, 1);
}
int32_t can_read_ramp_status(SysInfo* si, uint8_t* status)
{
    target t;
    if (int32_t rc = enter(RAMP_STATUS, si, &t); rc != NO_ERROR)
        return rc;
    return pi_scanner(si) ? can_read_pi_ramp_status(si, status) : get(RAMP_STATUS, si, status);
}
int32_t can_write_ramp_select(SysInfo* si, int32_t slot)
{
    target t;
    if (int32_t rc = enter(RAMP_SELECT, si, &t); rc != NO_ERROR)
        return rc;
    return pi_scanner(si) ? can_write_pi_ramp_select(si, slot) : put(RAMP_SELECT, si, slot);
}
int32_t can_read_ramp_valid(SysInfo* si, int32_t k, uint8_t* valid)
{
    target t;
    if (int32_t rc = enter(RAMP_VALID, si, &t, ARG, k); rc != NO_ERROR)
        return rc;
    if (!pi_scanner(si))
        return get(RAMP_VALID, si, valid, ARG, k);
    if (valid != nullptr)
        *valid = 1;  // the PI controller holds its ramps itself
    return NO_ERROR;
}
int32_t can_write_ramp_trigger(SysInfo* si, int32_t k, const rr_ramp_hdr_t& hdr)
{
    return trigger(RAMP_TRIGGER, si, k, hdr, false, 255);
}
int32_t can_write_ramp_rate(SysInfo* si, int32_t k, float khz) { return put(RAMP_RATE, si, khz, ARG, k); }
int32_t can_write_ramp_data(SysInfo* si, int32_t k, const rr_ramp_t& ramp)
{
    target t;
    if (int32_t rc = enter(RAMP_DATA, si, &t, ARG, k); rc != NO_ERROR)
        return rc;
    const int32_t n = ramp.hdr.nPoints;
    if (n > static_cast<int32_t>(RAMP_SAMPLES)) {
        u_log_sink("%s: ramp of %d points is longer than %u\n", "can_write_ramp_data", static_cast<int>(n),
                   static_cast<unsigned>(RAMP_SAMPLES));
        return ERR_PARAM_OUT_OF_RANGE;
    }
    if (n < 1 || !ramp.samples)
        return ERR_INVALID_PARAM;
    std::vector<uint8_t> bytes(RAMP_SAMPLES * 2);
    for (uint32_t i = 0; i < RAMP_SAMPLES; ++i)  // padded with the last sample
        store_le16(&bytes[2 * i], ramp.samples[std::min(i, static_cast<uint32_t>(n - 1))]);
    return block(RAMP_DATA, si, bytes.data(), static_cast<uint32_t>(bytes.size()), k);
}
int32_t can_write_pifoc_offset(SysInfo* si, uint32_t offset, bool waitForRamp)
{
    target t;
    if (int32_t rc = enter(PIFOC_OFFSET, si, &t); rc != NO_ERROR)
        return rc;
    if (offset > 0xFFFF)
        return ERR_PARAM_OUT_OF_RANGE;
    if (pi_scanner(si))
        return NO_ERROR;
    int32_t rc = put(PIFOC_OFFSET, si, offset);
    if (rc != NO_ERROR)
        return rc;
    if (si->pifoc)  // the time of the write is kept with the PIFOC's record
        can_state(si)->pifocWriteTime = u_wall_s();
    if (!waitForRamp)
        return NO_ERROR;
    return wait_motor_stopped([&](uint8_t* s) {
        int32_t r = can_read_ramp_status(si, s);
        *s = *s != 0 ? 2 : 0;
        return r;
    }, 100, 20, ERR_RAMP_WAIT_TIMEOUT);
}

int32_t can_pi_ramp_start(SysInfo* si) { return put(PI_START, si, 1); }
int32_t can_write_pi_ramp_select(SysInfo* si, int32_t ramp)
{
    target t;
    if (int32_t rc = enter(PI_SELECT, si, &t); rc != NO_ERROR)
        return rc;
    if (ramp < 1 || ramp > sysinfo_pi_ramp_count(*si))
        return ERR_PARAM_OUT_OF_RANGE;
    return put(PI_SELECT, si, ramp);
}
int32_t can_read_pi_ramp_status(SysInfo* si, uint8_t* status)
{
    target t;
    if (int32_t rc = enter(PI_STATUS, si, &t); rc != NO_ERROR)
        return rc;
    const bool newer = si->canInfo->fwMajor > 5 && si->canInfo->fwMinor > 5;
    uint16_t v = 0;
    int32_t rc = get(newer ? PI_STATUS : PI_STATUS_OLD, si, &v);
    if (rc == NO_ERROR && status != nullptr)
        *status = v != 0 ? 3 : 0;
    return rc;
}
int32_t can_read_pi_ramp_amplitude(SysInfo* si, float* amplitude) { return get(PI_AMPLITUDE, si, amplitude); }
int32_t can_read_pi_ramp_velocity(SysInfo* si, float* velocity) { return get(PI_VELOCITY, si, velocity); }
int32_t can_read_pi_serial_integer(SysInfo* si, uint8_t sub, uint16_t* value)
{
    target t;
    if (int32_t rc = enter(PI_INTEGER, si, &t); rc != NO_ERROR)
        return rc;
    uint8_t b[2] = {};
    int32_t rc = can_sdo_read2(t.node, t.index, sub, b, 2, true, t.abort, table[PI_INTEGER].name);
    if (rc == NO_ERROR && value != nullptr)
        *value = load_le16(b);
    return rc;
}
int32_t can_pi_load_ddl_tables(SysInfo* si, int32_t* tables)
{
    target t;
    if (int32_t rc = enter(PI_DDL_LOAD, si, &t); rc != NO_ERROR)
        return rc;
    if (sysinfo_pi_scanner(*si) != SB_PI_751)
        return ERR_INVALID_PARAM;
    int32_t rc = put(PI_DDL_LOAD, si, 0);
    if (rc != NO_ERROR)
        return rc;
    can_pause_ms(2000);
    uint16_t n = 0;
    rc = can_read_pi_serial_integer(si, 20, &n);
    if (rc == NO_ERROR && tables != nullptr)
        *tables = n;
    return rc;
}

int32_t can_check_pi_ramp(SysInfo* si, const rr_ramp_t& ramp)
{
    const CanInfo* c = si != nullptr ? si->canInfo.get() : nullptr;
    if (c == nullptr || ramp.startStamp != 0 || !rr_ext_profiles_available(*si) || c == nullptr || !(c->fwMajor > 6 && c->fwMinor > 2))
        return NO_ERROR;
    float amplitude = 0.0f, velocity = 0.0f;
    int32_t rc = can_write_pi_ramp_select(si, ramp.slot);
    if (rc == NO_ERROR)
        rc = can_read_pi_ramp_amplitude(si, &amplitude);
    if (rc == NO_ERROR)
        rc = can_read_pi_ramp_velocity(si, &velocity);
    return rc != NO_ERROR ? rc : rr_check_pi_profile(ramp, amplitude, velocity);
}

// ---- PZT ramp node ----------------------------------------------------------------------------

int32_t can_pztramp_start(SysInfo* si) { return put(PZT_START, si, 1); }
int32_t can_read_pztramp_status(SysInfo* si, uint8_t* status) { return get(PZT_STATUS, si, status); }
int32_t can_write_pztramp_select(SysInfo* si, int32_t slot) { return put(PZT_SELECT, si, slot); }
int32_t can_read_pztramp_valid(SysInfo* si, int32_t k, uint8_t* valid) { return get(PZT_VALID, si, valid, ARG, k); }
int32_t can_write_pztramp_trigger(SysInfo* si, int32_t k, const rr_ramp_hdr_t& hdr)
{
    return trigger(PZT_TRIGGER, si, k, hdr, si != nullptr && si->sysType == SYS_MODEL19, 16383);
}
int32_t can_write_pztramp_rate(SysInfo* si, int32_t k, float khz) { return put(PZT_RATE, si, khz, ARG, k); }
int32_t can_write_pztramp_data(SysInfo* si, int32_t k, const uint16_t* samples, int32_t n)
{
    target t;
    if (int32_t rc = enter(PZT_DATA, si, &t, ARG, k); rc != NO_ERROR)
        return rc;
    if (samples == nullptr || n < 1 || n > static_cast<int32_t>(RAMP_SAMPLES))
        return ERR_PARAM_OUT_OF_RANGE;
    std::vector<uint8_t> bytes(static_cast<std::size_t>(n) * 2);
    for (int32_t i = 0; i < n; ++i)
        store_le16(&bytes[2 * static_cast<std::size_t>(i)], samples[i]);
    return block(PZT_DATA, si, bytes.data(), static_cast<uint32_t>(bytes.size()), k);
}
int32_t can_write_pztramp_gain(SysInfo* si, int32_t k, int32_t kind, uint16_t gain)
{
    // Gain kinds 1 to 3 are subindexes 6 to 8; any other kind is refused by the range rule,
    // after the node and slot checks.
    const bool known = kind >= 1 && kind <= 3;
    return put(known ? static_cast<op>(PZT_GAIN1 + kind - 1) : PZT_GAIN1, si, known ? gain : -1.0, ARG, k);
}
int32_t can_read_pztramp_errchk(SysInfo* si, uint8_t* faults)
{
    uint32_t v = 0;
    int32_t rc = get(PZT_ERRCHK, si, &v);
    if (rc == NO_ERROR && faults != nullptr)
        *faults = static_cast<uint8_t>(v >> 24);  // the fault bits
    return rc;
}

// ---- LED node ---------------------------------------------------------------------------------

int32_t can_write_led_setup(SysInfo* si, uint8_t setup) { return put(LED_SETUP, si, setup); }
int32_t can_write_llc(SysInfo* si, uint16_t level, bool invert) { return put(LLC_W, si, inverted(level, invert)); }
int32_t can_read_llc(SysInfo* si, uint16_t* level, bool invert) { return read_level(LLC_R, si, ARG, level, invert); }
int32_t can_write_llc_avgcurlmt(SysInfo* si, uint32_t limit) { return put(LLC_AVGCURLMT, si, limit); }
int32_t can_write_llc_fwdvlt(SysInfo* si, uint32_t voltage) { return put(LLC_FWDVLT, si, voltage); }
int32_t can_write_llc_pwmfreq(SysInfo* si, uint32_t frequency) { return put(LLC_PWMFREQ, si, frequency); }

// ---- Dual brush motor node --------------------------------------------------------------------

int32_t can_read_turret(SysInfo* si, uint8_t* position) { return get(TURRET, si, position); }
int32_t can_read_turret_status(SysInfo* si, uint8_t* status) { return get(TURRET_STATUS, si, status); }
int32_t can_read_zoom(SysInfo* si, int32_t* position)
{
    uint8_t raw = 0;
    int32_t rc = get(ZOOM, si, &raw);
    if (rc != NO_ERROR)
        return rc;
    int32_t pos = raw == 15 ? -2 : raw;  // 15: between positions
    if (zoom_reported_by_pdo(si)) {
        uint8_t slot = 0;
        if (!can_zoom_slot(raw, &slot)) {
            if (position != nullptr)
                *position = 0;
            return ERR_PARAM_OUT_OF_RANGE;
        }
        pos = slot;
        can_seed_last_zoom(slot);
    }
    if (position != nullptr)
        *position = pos;
    return NO_ERROR;
}
int32_t can_read_all_zoom(SysInfo* si)
{
    target t;
    int32_t rc = enter(ALL_ZOOM, si, &t);
    if (rc == NO_ERROR && zoom_reported_by_pdo(si))
        rc = ERR_INVALID_PARAM;
    uint8_t b[6] = {};
    if (rc == NO_ERROR)
        rc = block(ALL_ZOOM, si, b, sizeof b);
    if (rc != NO_ERROR)
        return rc;
    // The object carries six positions; a seventh position has no byte and reads as none.
    for (int i = 0; i < can_state(si)->zoomPosCount && i < 7; ++i)
        si->canInfo->zoomPos[i] = i < 6 ? (b[i] == 15 ? -2 : b[i]) : -2;
    return NO_ERROR;
}
int32_t can_get_brmtr_config(SysInfo* si)
{
    uint8_t b[2] = {};
    int32_t rc = block(BRMTR_CONFIG, si, b, sizeof b);
    if (rc != NO_ERROR)
        return rc;
    can_state(si)->zoomPosCount = b[0] & 7;
    can_state(si)->turretPosCount = b[1] & 7;
    return NO_ERROR;
}

// ---- HXI encoded zoom -------------------------------------------------------------------------

int32_t hxi_enc_zoom_set_soft_limits(int32_t low, int32_t high)
{
    int32_t rc = put(ENC_LOW, nullptr, low);
    return rc != NO_ERROR ? rc : put(ENC_HIGH, nullptr, high);
}
int32_t hxi_enc_zoom_set_motion_mode(SysInfo* si)
{
    int32_t rc = put(ENC_MODE, si, 3);
    return rc != NO_ERROR ? rc : hxi_enc_zoom_set_soft_limits(si->hxiZoom->progLim[0], si->hxiZoom->progLim[1]);
}
int32_t hxi_enc_zoom_set_backlash(SysInfo* si)
{
    target t;
    int32_t rc = enter(ENC_BACKLASH, si, &t);
    uint16_t major = 0, minor = 0;
    if (rc == NO_ERROR)
        rc = can_read_version(si, ENC, &major, &minor);
    if (rc != NO_ERROR)
        return rc;
    if (major < 4 || (major == 4 && minor < 3)) {
        u_log_sink("HXI encoded zoom firmware version %d.%d is old; version %d.%d or later is required\n",
                   static_cast<int>(major), static_cast<int>(minor), 4, 3);
        return ERR_HXI_ENC_ZOOM_FIRMWARE_VERSION_OLD;
    }
    rc = hxi_enc_zoom_set_motion_mode(si);
    if (rc == NO_ERROR)
        rc = put(ENC_BACKLASH, si, static_cast<uint32_t>(si->hxiZoom->backlash));
    if (rc == NO_ERROR)
        rc = hxi_zoom_cal_load(si, nullptr);
    return rc == ERR_HXI_ENC_ZOOM_CANT_OPEN_CAL_FILE ? NO_ERROR : rc;
}

// ---- Composites -------------------------------------------------------------------------------

int32_t can_home_ndw(SysInfo* si, bool polling, int32_t limit_ms)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    int32_t rc = can_node_guard(si, CAN_NODE_ID_FOCUS_NDW, "can_home_ndw");
    if (rc != NO_ERROR)
        return rc;
    // One look at the wheel: its status byte by polling, else what the decoder last saw.
    auto look = [&](uint8_t* home, bool* moving) -> int32_t {
        can_pause_ms(100);
        if (!polling) {
            can_process_events(si);
            can_ndw_status(home, moving);
            return NO_ERROR;
        }
        uint8_t status = 0;
        int32_t r = can_read_ndw_status(si, &status);
        *home = status & 0x18;
        *moving = (status & 2) != 0;
        return r;
    };
    uint8_t home = 8;  // searching
    bool moving = true;
    can_ndw_set_status(home, false);
    rc = can_write_ndw_control(si, 3);
    int32_t t = 0;
    for (; rc == NO_ERROR && (home & 0x18) == 8; t += 100) {
        if (t >= limit_ms) {
            u_log_sink("%s: timeout waiting for home search, time=%d ms\n", "can_home_ndw", static_cast<int>(t));
            return ERR_CAN_NDW_HOME_ERROR;
        }
        rc = look(&home, &moving);
    }
    if (rc != NO_ERROR)
        return rc;
    if ((home & 0x18) == 0x10) {
        u_log_sink("%s: llcHomeStatus=%d\n", "can_home_ndw", static_cast<int>(home & 0x18));
        return ERR_CAN_NDW_HOME_ERROR;
    }
    if (!polling)
        can_ndw_set_status(home, true);
    while (t < limit_ms) {
        rc = look(&home, &moving);
        t += 100;
        if (rc != NO_ERROR || !moving)
            return rc;
    }
    u_log_sink("%s: timeout waiting for move to initial position, time=%d ms\n", "can_home_ndw", static_cast<int>(t));
    return ERR_CAN_NDW_HOME_ERROR;
}

int32_t can_set_ring_spot(SysInfo* si, int32_t position, bool wait)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    if (position != 0 && position != 1)
        return ERR_INVALID_PARAM;
    if (!si->ringSpot || !can_avail(si)->canDdRsAvail || !can_sys_is(si, {SYS_MODEL17, SYS_MODEL24, SYS_MODEL26}))
        return NO_ERROR;
    uint8_t now = 255, mode = 0;
    int32_t rc = can_read_rs_position(si, &now);
    if (rc != NO_ERROR || now == position)
        return rc;
    rc = can_read_rs_keypress_mode(si, &mode);
    if (rc != NO_ERROR)
        return rc;
    // Keypress bit 1 is cleared for the move and restored afterwards.
    const bool changed = (mode & 2) != 0;
    if (changed && (rc = can_write_rs_keypress_mode(si, static_cast<uint8_t>(mode & ~2))) != NO_ERROR)
        return rc;
    uint16_t maxCurrent = 0;
    rc = can_read_rs_maxCurrent(si, &maxCurrent);
    if (rc == NO_ERROR)
        rc = can_write_rs_current(si, static_cast<int16_t>(position == 1 ? -static_cast<int32_t>(maxCurrent) : maxCurrent));
    if (rc == NO_ERROR && wait)
        rc = wait_motor_stopped([&](uint8_t* s) { return can_read_rs_status(si, s); }, 250, 500, ERR_RS_TIMEOUT);
    if (changed) {
        int32_t r = can_write_rs_keypress_mode(si, mode);
        if (rc == NO_ERROR)
            rc = r;
    }
    return rc;
}

int32_t can_set_diffuser_disks(SysInfo* si, bool on)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    auto toggle = [&](op read, op write) -> int32_t {
        uint8_t c = 0;
        int32_t rc = get(read, si, &c);
        return rc != NO_ERROR ? rc : put(write, si, on ? (c | 1) : (c & ~1));
    };
    // Both disks are tried, whatever the first one did; the first failure is returned.
    int32_t rc = can_avail(si)->canDdZoomAvail ? toggle(ZM_CONTROL_R, ZM_CONTROL_W) : NO_ERROR;
    if (si->ringSpot && can_avail(si)->canDdRsAvail) {
        int32_t r = toggle(RS_CONTROL_R, RS_CONTROL_W);
        if (rc == NO_ERROR)
            rc = r;
    }
    return rc;
}

int32_t can_drive_aux_motor(SysInfo* si, bool forward)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    if (si->sysType != SYS_MODEL20)
        return NO_ERROR;
    constexpr uint8_t AUX = CAN_NODE_ID_AUX_MOTOR;
    int32_t rc = can_node_guard(si, AUX, "can_drive_aux_motor");
    if (rc == NO_ERROR)
        rc = can_write_dmd_motor2_current(si, AUX, static_cast<int16_t>(forward ? 500 : -500));
    if (rc != NO_ERROR)
        return rc == ERR_CAN_SDO_DMD_ERROR ? ERR_CAN_AUX_MOTOR_ERROR : rc;
    rc = wait_motor_stopped([&](uint8_t* s) { return can_read_dmd_motor2_status(si, AUX, s); }, 250, 21, ERR_AV_TIMEOUT);
    return rc == ERR_CAN_SDO_DMD_ERROR ? ERR_CAN_SDO_AUX_MOTOR_ERROR : rc;
}

int32_t can_set_llc_range(SysInfo* si, int32_t selector)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    uint32_t limit = 1000, voltage = 4500;
    if (selector == 0 || selector == 1) {
        limit = si->currentLight().avgCurLimit[selector];
        voltage = si->currentLight().fwdVoltage[selector];
    }
    int32_t rc = limit != 0 ? can_write_llc_avgcurlmt(si, limit) : NO_ERROR;
    if (rc == NO_ERROR && voltage != 0)
        rc = can_write_llc_fwdvlt(si, voltage);
    if (rc != NO_ERROR)
        u_log_sink("%s failed: %s\n", "can_set_llc_range", u_err_name(rc));
    return rc;
}

int32_t can_start_ramp(SysInfo* si, int32_t slot)
{
    target t;
    if (int32_t rc = enter(RAMP_START, si, &t); rc != NO_ERROR)
        return rc;
    rr_instr_ramps_t* set = rr_instr_ramps(si);
    if (set == nullptr || !set->haveSet)
        return ERR_NO_RAMP_INFO;
    if (slot < 0 || static_cast<std::size_t>(slot) >= set->ramps.size())
        return ERR_INVALID_RAMP_INDEX;
    const bool bridge = can_sys_is(si, {SYS_MODEL10, SYS_MODEL12, SYS_MODEL15, SYS_MODEL22, SYS_MODEL25, SYS_MODEL27});
    if (!bridge && !can_sys_is(si, {SYS_MODEL17, SYS_MODEL19, SYS_MODEL20, SYS_MODEL23, SYS_MODEL29}))
        return ERR_INTERNAL_RV;
    rr_ramp_t& ramp = set->ramps[static_cast<std::size_t>(slot)];
    const int32_t k = ramp.slot;
    int32_t rc = bridge ? can_write_ramp_select(si, k) : can_write_pztramp_select(si, k);
    if (rc != NO_ERROR)
        return rc;
    // A ramp not started yet: the PI controller's profile must be the ramp's. A mismatch is
    // flagged in configuration bit 13.
    if ((rc = can_check_pi_ramp(si, ramp)) != NO_ERROR) {
        uint16_t config = 0;
        if (can_bridge_read_config(si, &config) == NO_ERROR)
            can_bridge_write_config(si, static_cast<uint16_t>(config | 0x2000));
        return rc;
    }
    uint8_t valid = 0, status = 0;
    rc = bridge ? can_read_ramp_valid(si, k, &valid) : can_read_pztramp_valid(si, k, &valid);
    if (rc == NO_ERROR && valid == 0)
        rc = ERR_INVALID_RAMP_INDEX;
    if (rc == NO_ERROR)
        rc = bridge ? can_read_ramp_status(si, &status) : can_read_pztramp_status(si, &status);
    if (rc != NO_ERROR)
        return rc;
    if (status != 0) {
        u_log_sink("can_start_ramp/pztramp: cannot start ramp, status = %d\n", static_cast<int>(status));
        return ERR_RAMP_BUSY;
    }
    rc = bridge ? can_ramp_start(si) : can_pztramp_start(si);
    if (rc == NO_ERROR)
        ramp.startStamp = u_wall_s();
    return rc;
}
