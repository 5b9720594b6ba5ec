// The node operations as one table: a row per simple operation holds its node, object, size,
// abort code, entry check and value rule, and run() carries a row out. The public operations are
// thin entries over the rows: a per-node motor operation is the shared motor row on its node,
// with that node's guard and abort code. The composite procedures are built from the same rows.
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

// What else a row asks: a turret (type 1 or 2), a zoom changer and the bridge record, the bridge
// record, the HXI zoom record; `slot`: the object index is stepped by the ramp slot k (0 to 3);
// `quiet`: while gain control runs the write is no activity for the sleep-mode service.
enum class also : uint8_t { nothing, turret, zoom, can_info, hxi_zoom, slot, quiet };

// How a written value travels (unsigned integer; float; float kHz sent x 1000) and the values
// accepted (hi below 0: up to the PI scanner's ramp count), with the refusal's code (0: any value
// goes) and line (given the name and the value).
enum class kind : uint8_t { u, f, khz };
struct rule {
    kind k;
    double lo, hi;
    int32_t refuse;
    const char* msg;
};
constexpr rule U{kind::u, 0, 0, 0, nullptr}, F{kind::f, 0, 0, 0, nullptr};
constexpr rule PI_RAMP{kind::u, 1, -1, ERR_PARAM_OUT_OF_RANGE, nullptr};
constexpr rule MODE{kind::u, 0, 4, ERR_INVALID_PARAM, "%s: invalid mode=%d\n"};
constexpr rule VEL{kind::f, 10, 10000, ERR_INVALID_PARAM, nullptr};
constexpr rule KHZ{kind::khz, 0, 200, ERR_PARAM_OUT_OF_RANGE, nullptr};
constexpr rule upto(double hi) { return {kind::u, 0, hi, ERR_PARAM_OUT_OF_RANGE, nullptr}; }

// What a bridge ramp operation does instead for a PI digital scanner.
using pi_alt = int32_t (*)(SysInfo*, double, uint32_t*);
int32_t pi_start(SysInfo* si, double, uint32_t*) { return can_pi_ramp_start(si); }
int32_t pi_select(SysInfo* si, double v, uint32_t*) { return can_write_pi_ramp_select(si, static_cast<int32_t>(v)); }
int32_t pi_valid(SysInfo*, double, uint32_t* raw)
{
    *raw = 1;  // the controller holds its ramps itself
    return NO_ERROR;
}
int32_t pi_status(SysInfo* si, double, uint32_t* raw)
{
    uint8_t s = 0;
    int32_t rc = can_read_pi_ramp_status(si, &s);
    *raw = s;
    return rc;
}

struct row {
    const char* name;
    uint8_t node;  // ARG: the caller's; PZT: the one rampMux selects
    uint16_t index;
    uint8_t sub;
    uint32_t size;  // bytes; 0: a block of the caller's size
    bool write;
    int32_t abort;
    check chk;
    rule val = U;
    also x = also::nothing;
    pi_alt pi = nullptr;
};

constexpr uint8_t ARG = 0, PZT = 1, BR = CAN_NODE_ID_RAMP, LED = CAN_NODE_ID_LED, BRM = CAN_NODE_ID_BRUSHMOTOR;
constexpr uint8_t ENC = CAN_NODE_ID_FOCUS_NDW;
constexpr bool R = false, W = true;
constexpr int32_t DMD = ERR_CAN_SDO_DMD_ERROR, RMP = ERR_CAN_SDO_RAMP_ERROR, BRG = ERR_CAN_SDO_BRIDGE_ERROR;
constexpr int32_t LEDA = ERR_CAN_SDO_LED_ERROR, BRMA = ERR_CAN_SDO_BRMOTOR_ERROR, ENCA = ERR_CAN_SDO_ENC_ZOOM_ERROR;
constexpr check CD = check::dmd, CB = check::board, CP = check::pi, CZ = check::pzt;
constexpr also NO = also::nothing, SL = also::slot;

// clang-format off
// The multi-node motor driver
constexpr row M1_CONTROL_R {"can_read_dmd_motor1_control",    ARG, 0x2000, 0, 1, R, DMD, CD};
constexpr row M1_CONTROL_W {"can_write_dmd_motor1_control",   ARG, 0x2000, 0, 1, W, DMD, CD};
constexpr row M1_MODE      {"can_write_dmd_motor1_mode",      ARG, 0x2002, 0, 1, W, DMD, CD, MODE};
constexpr row M1_VEL       {"can_write_dmd_motor1_targetVel", ARG, 0x2004, 0, 4, W, DMD, CD, VEL};
constexpr row M2_CONTROL   {"can_write_dmd_motor2_control",   ARG, 0x2020, 0, 1, W, DMD, CD};
constexpr row M2_STATUS    {"can_read_dmd_motor2_status",     ARG, 0x2021, 0, 1, R, DMD, CD};
constexpr row M2_LLC_R     {"can_read_dmd_motor2_llcLevel",   ARG, 0x2028, 0, 2, R, DMD, CD};
constexpr row M2_LLC_W     {"can_write_dmd_motor2_llcLevel",  ARG, 0x2028, 0, 2, W, DMD, CD, U, also::quiet};
constexpr row M2_MAXCUR    {"can_read_dmd_motor2_maxCurrent", ARG, 0x2036, 0, 2, R, DMD, CD};
constexpr row M2_CURRENT   {"can_write_dmd_motor2_current",   ARG, 0x2034, 0, 2, W, DMD, CD};
constexpr row M2_POSITION  {"can_read_dmd_motor2_position",   ARG, 0x2047, 0, 1, R, DMD, CD};
constexpr row KEYPRESS_R   {"can_read_dmd_keypress_mode",     ARG, 0x2044, 8, 1, R, DMD, CD};
constexpr row KEYPRESS_W   {"can_write_dmd_keypress_mode",    ARG, 0x2044, 8, 1, W, DMD, CD};
// Bridge node 127
constexpr row BRIDGE_STATUS{"can_read_bridge_status",         BR, 0x2010, 1, 1, R, BRG, CB};
constexpr row CONFIG_R     {"can_bridge_read_config",         BR, 0x2010, 2, 2, R, RMP, CB};
constexpr row CONFIG_W     {"can_bridge_write_config",        BR, 0x2010, 2, 2, W, RMP, CB};
constexpr row FG_TRIGGER   {"can_write_fg_trigger",           BR, 0x2010, 5, 2, W, RMP, CB, U, also::can_info};
constexpr row FG_TRIGGER8  {"can_write_fg_trigger",           BR, 0x2010, 5, 1, W, RMP, CB, U, also::can_info};
constexpr row DIGOUT_R     {"can_bridge_read_digitalout",     BR, 0x6200, 1, 1, R, BRG, CB};
constexpr row DIGOUT_W     {"can_bridge_write_digitalout",    BR, 0x6200, 1, 1, W, BRG, CB};
constexpr row DIODE_ENABLE {"can_set_align_illumination_diode", BR, 0x6240, 1, 1, W, BRG, CB};
constexpr row DIODE_SET    {"can_set_align_illumination_diode", BR, 0x6220, 1, 1, W, BRG, CB};
constexpr row SYNCGEN      {"can_write_syncgen",              BR, 0x2030, 0, 4, W, RMP, CB, F};
constexpr row RAMP_START   {"can_ramp_start",                 BR, 0x2000, 0, 1, W, RMP, CB, U, NO, pi_start};
constexpr row RAMP_STATUS  {"can_read_ramp_status",           BR, 0x2000, 0, 1, R, RMP, CB, U, NO, pi_status};
constexpr row RAMP_SELECT  {"can_write_ramp_select",          BR, 0x2001, 0, 1, W, RMP, CB, upto(3), NO, pi_select};
constexpr row RAMP_VALID   {"can_read_ramp_valid",            BR, 0x2003, 1, 1, R, RMP, CB, U, SL, pi_valid};
constexpr row RAMP_TRIGGER {"can_write_ramp_trigger",         BR, 0x2003, 2, 2, W, RMP, CB, U, SL};
constexpr row RAMP_RATE    {"can_write_ramp_rate",            BR, 0x2003, 4, 4, W, RMP, CB, KHZ, SL};
constexpr row RAMP_DATA    {"can_write_ramp_data",            BR, 0x2003, 5, 0, W, RMP, CB, U, SL};
constexpr row PIFOC_OFFSET {"can_write_pifoc_offset",         BR, 0x2009, 1, 2, W, RMP, CB, upto(0xFFFF)};
constexpr row PI_START     {"can_pi_ramp_start",              BR, 0x2041, 6, 1, W, RMP, CP};
constexpr row PI_SELECT    {"can_write_pi_ramp_select",       BR, 0x2041, 1, 1, W, RMP, CP, PI_RAMP};
constexpr row PI_STATUS    {"can_read_pi_ramp_status",        BR, 0x2040, 0, 2, R, RMP, CP, U, also::can_info};
constexpr row PI_STATUS_OLD{"can_read_pi_ramp_status",        BR, 0x2041, 11, 2, R, RMP, CP, U, also::can_info};
constexpr row PI_AMPLITUDE {"can_read_pi_ramp_amplitude",     BR, 0x2041, 2, 4, R, RMP, CP, F};
constexpr row PI_VELOCITY  {"can_read_pi_ramp_velocity",      BR, 0x2041, 3, 4, R, RMP, CP, F};
constexpr row PI_INTEGER   {"can_read_pi_serial_integer",     BR, 0x2041, 0, 2, R, RMP, CP};
constexpr row PI_DDL_LOAD  {"can_pi_load_ddl_tables",         BR, 0x2041, 19, 1, W, RMP, CP};
// PZT ramp node (62 or 52 by rampMux; abort code of that node)
constexpr row PZT_START    {"can_pztramp_start",              PZT, 0x2000, 0, 1, W, 0, CZ};
constexpr row PZT_STATUS   {"can_read_pztramp_status",        PZT, 0x2000, 0, 1, R, 0, CZ};
constexpr row PZT_SELECT   {"can_write_pztramp_select",       PZT, 0x2001, 0, 1, W, 0, CZ, upto(3)};
constexpr row PZT_VALID    {"can_read_pztramp_valid",         PZT, 0x2003, 1, 1, R, 0, CZ, U, SL};
constexpr row PZT_TRIGGER  {"can_write_pztramp_trigger",      PZT, 0x2003, 2, 2, W, 0, CZ, U, SL};
constexpr row PZT_RATE     {"can_write_pztramp_rate",         PZT, 0x2003, 4, 4, W, 0, CZ, KHZ, SL};
constexpr row PZT_DATA     {"can_write_pztramp_data",         PZT, 0x2003, 5, 0, W, 0, CZ, U, SL};
constexpr row PZT_GAIN     {"can_write_pztramp_gain",         PZT, 0x2003, 6, 2, W, 0, CZ, upto(0x3FFF), SL};
constexpr row PZT_ERRCHK   {"can_read_pztramp_errchk",        PZT, 0x1002, 0, 4, R, 0, CZ};
// LED node 61
constexpr row LED_SETUP    {"can_write_led_setup",            LED, 0x2000, 0, 1, W, LEDA, CB};
constexpr row LLC_W        {"can_write_llc",                  LED, 0x2001, 0, 2, W, LEDA, CB};
constexpr row LLC_R        {"can_read_llc",                   LED, 0x2001, 0, 2, R, LEDA, CB};
constexpr row LLC_AVGCURLMT{"can_write_llc_avgcurlmt",        LED, 0x2002, 0, 2, W, LEDA, CB, upto(1000)};
constexpr row LLC_FWDVLT   {"can_write_llc_fwdvlt",           LED, 0x2004, 0, 2, W, LEDA, CB, upto(10000)};
constexpr row LLC_PWMFREQ  {"can_write_llc_pwmfreq",          LED, 0x2006, 0, 4, W, LEDA, CB, upto(1000000)};
// Dual brush motor node 63
constexpr row TURRET       {"can_read_turret",                BRM, 0x2002, 0, 1, R, BRMA, CB, U, also::turret};
constexpr row TURRET_STATUS{"can_read_turret_status",         BRM, 0x2001, 0, 1, R, BRMA, CB, U, also::turret};
constexpr row ZOOM         {"can_read_zoom",                  BRM, 0x2012, 0, 1, R, BRMA, CB, U, also::zoom};
constexpr row ALL_ZOOM     {"can_read_all_zoom",              BRM, 0x2015, 0, 0, R, BRMA, CB, U, also::zoom};
constexpr row BRMTR_CONFIG {"can_get_brmtr_config",           BRM, 0x2020, 1, 0, R, BRMA, CB};
// HXI encoded zoom on node 64
constexpr row ENC_LOW      {"hxi_enc_zoom_set_soft_limits",   ENC, 0x607D, 1, 4, W, ENCA, check::none};
constexpr row ENC_HIGH     {"hxi_enc_zoom_set_soft_limits",   ENC, 0x607D, 2, 4, W, ENCA, check::none};
constexpr row ENC_MODE     {"hxi_enc_zoom_set_motion_mode",   ENC, 0x2002, 0, 1, W, ENCA, CB, U, also::hxi_zoom};
constexpr row ENC_BACKLASH {"hxi_enc_zoom_set_backlash",      ENC, 0x2019, 0, 4, W, ENCA, CB, U, also::hxi_zoom};
// clang-format on

// What a call adds to its row: the node of a motor row, and for a per-node operation its name
// (the node's guard runs first) and the node's abort code; the ramp slot k; a subindex step.
struct at {
    uint8_t node = ARG;
    int32_t k = 0;
    uint8_t sub = 0;
    int32_t own = 0;  // replaces ERR_CAN_SDO_DMD_ERROR
    const char* who = nullptr;
};
at rs(const char* who) { return {CAN_NODE_ID_DD_RS, 0, 0, ERR_CAN_SDO_ROF_ERROR, who}; }
at zm(const char* who) { return {CAN_NODE_ID_DD_ZOOM, 0, 0, ERR_CAN_SDO_ZOOM_ERROR, who}; }
at ndw(const char* who) { return {CAN_NODE_ID_FOCUS_NDW, 0, 0, ERR_CAN_SDO_NDW_ERROR, who}; }
at fzm(const char* who) { return {CAN_NODE_ID_FOCUS_NDW, 0, 0, ERR_CAN_SDO_FZM_ERROR, who}; }

bool pi_scanner(const SysInfo* si) { return si != nullptr && sysinfo_pi_scanner(*si) != 0; }
bool agc_on()
{
    can_agc_running_fn fn = agc_running.load(std::memory_order_acquire);
    return fn != nullptr && fn();
}

struct target {
    uint8_t node;
    uint16_t index;
    uint8_t sub;
    int32_t abort;
};

// The PZT ramp node that rampMux selects, with its abort code.
int32_t pzt_node(SysInfo* si, target* t)
{
    const can_slot_state* st = can_state(si);
    if (st->rampMux != 0 && st->rampMux != 1) {
        u_log_sink("Invalid parameter si->rampMux=%d\n", static_cast<int>(st->rampMux));
        return ERR_INVALID_PARAM;
    }
    const bool large = st->rampMux == 1;
    if (!(large ? st->avail.canLargeApAvail : st->avail.canTriplePztAvail)) {
        u_log_sink(large ? "The large aperture PZT power node is not available\n" : "The triple PZT node is not available\n");
        return ERR_CAN_NODE_NOT_AVAIL;
    }
    t->node = large ? CAN_NODE_ID_LARGEAP : CAN_NODE_ID_TRIPLEPZT;
    t->abort = large ? ERR_CAN_SDO_LAP_ERROR : ERR_CAN_SDO_PZT_ERROR;
    return NO_ERROR;
}

// The scanner and sub-records a row asks of the record.
int32_t holds(const row& r, const SysInfo& s)
{
    if (r.chk == check::pi && !pi_scanner(&s))
        return ERR_INVALID_PARAM;
    switch (r.x) {
    case also::turret: return s.turret == 1 || s.turret == 2 ? NO_ERROR : ERR_MOTORIZED_OR_ENCODED_TURRET_NOT_AVAILABLE;
    case also::zoom: return s.zoom == 0 ? ERR_ZOOM_NOT_AVAILABLE : s.canInfo ? NO_ERROR : ERR_HW_FAIL;
    case also::can_info: return s.canInfo ? NO_ERROR : ERR_HW_FAIL;
    case also::hxi_zoom: return s.hxiZoom ? NO_ERROR : ERR_HW_FAIL;
    default: return NO_ERROR;
    }
}

// A row's checks in order (record, guard, board, scanner and sub-records, PZT node, ramp slot),
// and where it goes; no bus access.
int32_t enter(const row& r, SysInfo* si, const at& a, target* t)
{
    if (r.chk != check::none) {
        if (si == nullptr)
            return ERR_SYS_INFO_NOT_AVAIL;
        if (a.who != nullptr)
            if (int32_t rc = can_node_guard(si, a.node, a.who); rc != NO_ERROR)
                return rc;
        if (si->instrBdType != BD_CAN)
            return r.chk == check::dmd ? ERR_INVALID_PARAM : ERR_WRONG_INSTR_BOARD;
        if (int32_t rc = holds(r, *si); rc != NO_ERROR)
            return rc;
    }
    *t = {r.node == ARG ? a.node : r.node, r.index, static_cast<uint8_t>(r.sub + a.sub), r.abort};
    if (r.chk == check::pzt)
        if (int32_t rc = pzt_node(si, t); rc != NO_ERROR)
            return rc;
    if (r.x == also::slot && (a.k < 0 || a.k > 3))
        return ERR_PARAM_OUT_OF_RANGE;
    t->index = static_cast<uint16_t>(r.index + (r.x == also::slot ? a.k : 0));
    return NO_ERROR;
}

// Carries a row out: its checks, then what a PI digital scanner does instead where the row says
// so, else the transfer. A write sends v by the value rule after its range check; a read leaves
// the raw value in *raw (a float row: its bits). `blk` carries a block of n bytes instead.
int32_t run(const row& r, SysInfo* si, const at& a, double v, uint32_t* raw, uint8_t* blk = nullptr, uint32_t n = 0)
{
    target t;
    if (int32_t rc = enter(r, si, a, &t); rc != NO_ERROR)
        return rc;
    if (r.pi != nullptr && pi_scanner(si))
        return r.pi(si, v, raw);
    uint8_t b[4] = {};
    if (blk == nullptr) {
        const rule& val = r.val;
        const double hi = val.hi < 0 && si != nullptr ? sysinfo_pi_ramp_count(*si) : val.hi;
        if (r.write && val.refuse != 0 && !(v >= val.lo && v <= hi)) {
            if (val.msg != nullptr)
                u_log_sink(val.msg, r.name, static_cast<int>(v));
            return val.refuse;
        }
        uint32_t bits = 0;
        if (r.write && val.k == kind::u) {
            bits = static_cast<uint32_t>(static_cast<int64_t>(v));
        } else if (r.write) {
            const float f = val.k == kind::khz ? static_cast<float>(v) * 1000.0f : static_cast<float>(v);
            std::memcpy(&bits, &f, 4);
        }
        store_le32(b, bits);  // a shorter object takes the low bytes
        blk = b;
        n = r.size;
    }
    const bool reset = !(r.x == also::quiet && agc_on());
    int32_t rc = r.write ? can_sdo_write2(t.node, t.index, t.sub, blk, n, reset, t.abort, r.name)
                         : can_sdo_read2(t.node, t.index, t.sub, blk, n, reset, t.abort, r.name);
    if (rc == NO_ERROR && raw != nullptr && blk == b)
        *raw = load_le32(b);
    return a.own != 0 && rc == ERR_CAN_SDO_DMD_ERROR ? a.own : rc;
}

// A read into a typed out-parameter through `map`, left alone on failure.
template <class T, class M = std::identity>
int32_t get(const row& r, SysInfo* si, T* out, const at& a = {}, M map = {})
{
    uint32_t raw = 0;
    int32_t rc = run(r, si, a, 0, &raw);
    if (rc == NO_ERROR && out != nullptr) {
        raw = static_cast<uint32_t>(map(raw));
        if constexpr (std::is_same_v<T, float>)
            std::memcpy(out, &raw, 4);
        else
            *out = static_cast<T>(raw);
    }
    return rc;
}
int32_t put(const row& r, SysInfo* si, double v, const at& a = {}) { return run(r, si, a, v, nullptr); }
int32_t ready(const row& r, SysInfo* si, const at& a = {})
{
    target t;
    return enter(r, si, a, &t);
}

auto inv(bool invert)
{
    return [invert](uint32_t v) { return invert ? ~v & 0xFFFFu : v; };
}

// The motor current: the current limit is read first (it must answer; its value is not used).
int32_t write_current(SysInfo* si, const at& a, int16_t value)
{
    uint16_t unused = 0;
    int32_t rc = get(M2_MAXCUR, si, &unused, a);
    return rc != NO_ERROR ? rc : put(M2_CURRENT, si, value, a);
}

// The frame number of a ramp trigger, refused (with the row's line) outside [0, top].
int32_t trigger(const row& r, SysInfo* si, int32_t k, const rr_ramp_hdr_t& hdr, bool doubled, int32_t top)
{
    if (int32_t rc = ready(r, si, {.k = k}); rc != NO_ERROR)
        return rc;
    int32_t frame = -1;
    bool ok = can_ramp_frame_number(hdr, &frame);
    if (ok && doubled) {
        const int64_t d = 2 * static_cast<int64_t>(frame) + 1;
        ok = d <= INT32_MAX;
        frame = ok ? static_cast<int32_t>(d) : -1;
    }
    if (ok && frame >= 0 && frame <= top)
        return put(r, si, frame, {.k = k});
    if (top == 255)
        u_log_sink("%s: calculated frameNumber=%d outside of valid range\n", r.name, static_cast<int>(frame));
    else
        u_log_sink("%s: calculated frameNumber=%d outside of valid range [%d,%d]\n", r.name, static_cast<int>(frame), 0, top);
    return ERR_PARAM_OUT_OF_RANGE;
}

// Ramp samples as little-endian words, `count` of them: a shorter ramp is padded with its last.
int32_t send_samples(const row& r, SysInfo* si, int32_t k, const uint16_t* s, int32_t n, uint32_t count)
{
    std::vector<uint8_t> bytes(2 * static_cast<std::size_t>(count));
    for (uint32_t i = 0; i < count; ++i)
        store_le16(&bytes[2 * i], s[std::min(i, static_cast<uint32_t>(n - 1))]);
    return run(r, si, {.k = k}, 0, nullptr, bytes.data(), 2 * count);
}

// Reads a status byte every `step` ms, at most `tries` times, until bit 1 (moving) clears: 0, the
// read's failure, or `timeout`.
template <class Read>
int32_t wait_stopped(Read read, uint32_t step, int tries, int32_t timeout)
{
    for (int i = 0; i < tries; ++i) {
        can_pause_ms(step);
        uint8_t status = 0;
        if (int32_t rc = read(&status); rc != NO_ERROR || (status & 2) == 0)
            return rc;
    }
    return timeout;
}

bool zoom_reported_by_pdo(const SysInfo* si)
{
    return si->zoom == 1 && si->canInfo->brushMotorProductId == CAN_BRMOTOR_PRODUCT_D7;
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

int32_t can_read_dmd_motor1_control(SysInfo* si, uint8_t node, uint8_t* v) { return get(M1_CONTROL_R, si, v, {node}); }
int32_t can_write_dmd_motor1_control(SysInfo* si, uint8_t node, uint8_t v) { return put(M1_CONTROL_W, si, v, {node}); }
int32_t can_write_dmd_motor1_mode(SysInfo* si, uint8_t node, int32_t mode) { return put(M1_MODE, si, mode, {node}); }
int32_t can_write_dmd_motor1_targetVel(SysInfo* si, uint8_t node, float vel) { return put(M1_VEL, si, vel, {node}); }
int32_t can_write_dmd_motor2_control(SysInfo* si, uint8_t node, uint8_t v) { return put(M2_CONTROL, si, v, {node}); }
int32_t can_read_dmd_motor2_status(SysInfo* si, uint8_t node, uint8_t* v) { return get(M2_STATUS, si, v, {node}); }
int32_t can_read_dmd_motor2_llcLevel(SysInfo* si, uint8_t node, uint16_t* level, bool invert)
{
    return get(M2_LLC_R, si, level, {node}, inv(invert));
}
int32_t can_write_dmd_motor2_llcLevel(SysInfo* si, uint8_t node, uint16_t level, bool invert)
{
    return put(M2_LLC_W, si, inv(invert)(level), {node});
}
int32_t can_read_dmd_motor2_maxCurrent(SysInfo* si, uint8_t node, uint16_t* v) { return get(M2_MAXCUR, si, v, {node}); }
int32_t can_write_dmd_motor2_current(SysInfo* si, uint8_t node, int16_t current) { return write_current(si, {node}, current); }
int32_t can_read_dmd_motor2_position(SysInfo* si, uint8_t node, uint8_t* v) { return get(M2_POSITION, si, v, {node}); }
int32_t can_read_dmd_keypress_mode(SysInfo* si, uint8_t node, uint8_t* mode) { return get(KEYPRESS_R, si, mode, {node}); }
int32_t can_write_dmd_keypress_mode(SysInfo* si, uint8_t node, uint8_t mode) { return put(KEYPRESS_W, si, mode, {node}); }

int32_t can_read_rs_dd_control(SysInfo* si, uint8_t* v) { return get(M1_CONTROL_R, si, v, rs(__func__)); }
int32_t can_write_rs_dd_control(SysInfo* si, uint8_t v) { return put(M1_CONTROL_W, si, v, rs(__func__)); }
int32_t can_write_rs_dd_mode(SysInfo* si, int32_t mode) { return put(M1_MODE, si, mode, rs(__func__)); }
int32_t can_read_rs_status(SysInfo* si, uint8_t* v) { return get(M2_STATUS, si, v, rs(__func__)); }
int32_t can_write_rs_current(SysInfo* si, int16_t current) { return write_current(si, rs(__func__), current); }
int32_t can_read_rs_maxCurrent(SysInfo* si, uint16_t* v) { return get(M2_MAXCUR, si, v, rs(__func__)); }
int32_t can_read_rs_keypress_mode(SysInfo* si, uint8_t* v) { return get(KEYPRESS_R, si, v, rs(__func__)); }
int32_t can_write_rs_keypress_mode(SysInfo* si, uint8_t v) { return put(KEYPRESS_W, si, v, rs(__func__)); }
int32_t can_read_rs_position(SysInfo* si, uint8_t* position)
{
    if (position != nullptr)
        *position = 255;
    return get(M2_POSITION, si, position, rs(__func__), [](uint32_t v) { return v == 1 ? 0u : v == 2 ? 1u : 255u; });
}

int32_t can_read_zoom_dd_control(SysInfo* si, uint8_t* v) { return get(M1_CONTROL_R, si, v, zm(__func__)); }
int32_t can_write_zoom_dd_control(SysInfo* si, uint8_t v) { return put(M1_CONTROL_W, si, v, zm(__func__)); }
int32_t can_write_zoom_dd_mode(SysInfo* si, int32_t mode) { return put(M1_MODE, si, mode, zm(__func__)); }
int32_t can_read_zoom_keypress_mode(SysInfo* si, uint8_t* v) { return get(KEYPRESS_R, si, v, zm(__func__)); }
int32_t can_write_zoom_keypress_mode(SysInfo* si, uint8_t v) { return put(KEYPRESS_W, si, v, zm(__func__)); }
int32_t can_write_zoom_dd_targetVel(SysInfo* si, float velocity)
{
    int32_t rc = put(M1_VEL, si, velocity, zm(__func__));
    if (rc == NO_ERROR)
        can_state(si)->zoomDdTargetVel = velocity;
    return rc;
}

int32_t can_write_ndw_control(SysInfo* si, uint8_t v) { return put(M2_CONTROL, si, v, ndw(__func__)); }
int32_t can_read_ndw_status(SysInfo* si, uint8_t* v) { return get(M2_STATUS, si, v, ndw(__func__)); }
int32_t can_read_ndw_llcLevel(SysInfo* si, uint16_t* v, bool invert) { return get(M2_LLC_R, si, v, ndw(__func__), inv(invert)); }
int32_t can_read_focus_keypress_mode(SysInfo* si, uint8_t* v) { return get(KEYPRESS_R, si, v, fzm(__func__)); }
int32_t can_write_focus_keypress_mode(SysInfo* si, uint8_t v) { return put(KEYPRESS_W, si, v, fzm(__func__)); }
int32_t can_write_ndw_llcLevel(SysInfo* si, uint16_t level, bool invert)
{
    // Record and guard first; another board is refused by the write itself.
    if (int32_t rc = ready(M2_LLC_W, si, ndw(__func__)); rc != NO_ERROR && rc != ERR_INVALID_PARAM)
        return rc;
    can_process_events(si);
    // The wheel is about to move: its stop event is reset now and signalled by the decoder when
    // the wheel reports that it stopped. Without the event the level is written alone.
    u_handle stopped = nullptr;
    const bool have_event = u_event_open(CAN_NDWHEEL_STOPPED, &stopped) == NO_ERROR;
    if (have_event)
        u_event_reset(stopped);
    int32_t rc = put(M2_LLC_W, si, inv(invert)(level), ndw(__func__));
    if (have_event && rc != NO_ERROR)
        u_event_set(stopped);
    if (have_event)
        u_close_handle(stopped);
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
    int32_t rc = ready(FG_TRIGGER, si);
    return rc != NO_ERROR ? rc : put(can_config_word_supported(*si->canInfo) ? FG_TRIGGER : FG_TRIGGER8, si, value);
}
int32_t can_set_align_illumination_diode(SysInfo* si, bool on)
{
    int32_t rc = ready(DIODE_SET, si);
    if (rc != NO_ERROR || !si->canInfo || si->canInfo->fwMajor == 0)
        return rc;
    const CanInfo& c = *si->canInfo;
    if (c.fwMajor > 10 || (c.fwMajor == 10 && c.fwMinor >= 9))
        return (rc = put(DIODE_ENABLE, si, 1)) != NO_ERROR ? rc : put(DIODE_SET, si, on ? 1 : 0);
    uint8_t out = 0;  // older firmware: bit 0 of the digital output, cleared for on
    return (rc = get(DIGOUT_R, si, &out)) != NO_ERROR ? rc : put(DIGOUT_W, si, on ? (out & ~1u) : (out | 1u));
}

int32_t can_ramp_start(SysInfo* si) { return put(RAMP_START, si, 1); }
int32_t can_read_ramp_status(SysInfo* si, uint8_t* status) { return get(RAMP_STATUS, si, status); }
int32_t can_write_ramp_select(SysInfo* si, int32_t slot) { return put(RAMP_SELECT, si, slot); }
int32_t can_read_ramp_valid(SysInfo* si, int32_t k, uint8_t* valid) { return get(RAMP_VALID, si, valid, {.k = k}); }
int32_t can_write_ramp_rate(SysInfo* si, int32_t k, float khz) { return put(RAMP_RATE, si, khz, {.k = k}); }
int32_t can_write_ramp_trigger(SysInfo* si, int32_t k, const rr_ramp_hdr_t& hdr)
{
    return trigger(RAMP_TRIGGER, si, k, hdr, false, 255);
}
int32_t can_write_ramp_data(SysInfo* si, int32_t k, const rr_ramp_t& ramp)
{
    if (int32_t rc = ready(RAMP_DATA, si, {.k = k}); rc != NO_ERROR)
        return rc;
    const int32_t n = ramp.hdr.nPoints;
    if (n > static_cast<int32_t>(RAMP_SAMPLES)) {
        u_log_sink("%s: ramp of %d points is longer than %u\n", "can_write_ramp_data", static_cast<int>(n),
                   static_cast<unsigned>(RAMP_SAMPLES));
        return ERR_PARAM_OUT_OF_RANGE;
    }
    return n < 1 || !ramp.samples ? ERR_INVALID_PARAM : send_samples(RAMP_DATA, si, k, ramp.samples.get(), n, RAMP_SAMPLES);
}
int32_t can_write_pifoc_offset(SysInfo* si, uint32_t offset, bool waitForRamp)
{
    int32_t rc = ready(PIFOC_OFFSET, si);
    if (rc == NO_ERROR && offset > 0xFFFF)
        rc = ERR_PARAM_OUT_OF_RANGE;
    if (rc != NO_ERROR || pi_scanner(si) || (rc = put(PIFOC_OFFSET, si, offset)) != NO_ERROR)
        return rc;
    if (si->pifoc)  // the time of the write is kept with the PIFOC's record
        can_state(si)->pifocWriteTime = u_wall_s();
    if (!waitForRamp)
        return NO_ERROR;
    return wait_stopped([&](uint8_t* s) {
        int32_t r = can_read_ramp_status(si, s);
        *s = *s != 0 ? 2 : 0;
        return r;
    }, 100, 20, ERR_RAMP_WAIT_TIMEOUT);
}

int32_t can_pi_ramp_start(SysInfo* si) { return put(PI_START, si, 1); }
int32_t can_read_pi_ramp_amplitude(SysInfo* si, float* amplitude) { return get(PI_AMPLITUDE, si, amplitude); }
int32_t can_read_pi_ramp_velocity(SysInfo* si, float* velocity) { return get(PI_VELOCITY, si, velocity); }
int32_t can_read_pi_serial_integer(SysInfo* si, uint8_t sub, uint16_t* value) { return get(PI_INTEGER, si, value, {.sub = sub}); }
int32_t can_write_pi_ramp_select(SysInfo* si, int32_t ramp) { return put(PI_SELECT, si, ramp); }
int32_t can_read_pi_ramp_status(SysInfo* si, uint8_t* status)
{
    if (int32_t rc = ready(PI_STATUS, si); rc != NO_ERROR)
        return rc;
    const bool newer = si->canInfo->fwMajor > 5 && si->canInfo->fwMinor > 5;
    return get(newer ? PI_STATUS : PI_STATUS_OLD, si, status, {}, [](uint32_t v) { return v != 0 ? 3u : 0u; });
}
int32_t can_pi_load_ddl_tables(SysInfo* si, int32_t* tables)
{
    int32_t rc = ready(PI_DDL_LOAD, si);
    if (rc == NO_ERROR && sysinfo_pi_scanner(*si) != SB_PI_751)
        rc = ERR_INVALID_PARAM;
    if (rc != NO_ERROR || (rc = put(PI_DDL_LOAD, si, 0)) != NO_ERROR)
        return rc;
    can_pause_ms(2000);
    return get(PI_INTEGER, si, tables, {.sub = 20});
}
int32_t can_check_pi_ramp(SysInfo* si, const rr_ramp_t& ramp)
{
    const CanInfo* c = si != nullptr ? si->canInfo.get() : nullptr;
    if (c == nullptr || ramp.startStamp != 0 || !rr_ext_profiles_available(*si) || !(c->fwMajor > 6 && c->fwMinor > 2))
        return NO_ERROR;
    float amplitude = 0.0f, velocity = 0.0f;
    int32_t rc = can_write_pi_ramp_select(si, ramp.slot);
    if (rc == NO_ERROR)
        rc = get(PI_AMPLITUDE, si, &amplitude);
    if (rc == NO_ERROR)
        rc = get(PI_VELOCITY, si, &velocity);
    return rc != NO_ERROR ? rc : rr_check_pi_profile(ramp, amplitude, velocity);
}

// ---- PZT ramp node ----------------------------------------------------------------------------

int32_t can_pztramp_start(SysInfo* si) { return put(PZT_START, si, 1); }
int32_t can_read_pztramp_status(SysInfo* si, uint8_t* status) { return get(PZT_STATUS, si, status); }
int32_t can_write_pztramp_select(SysInfo* si, int32_t slot) { return put(PZT_SELECT, si, slot); }
int32_t can_read_pztramp_valid(SysInfo* si, int32_t k, uint8_t* valid) { return get(PZT_VALID, si, valid, {.k = k}); }
int32_t can_write_pztramp_rate(SysInfo* si, int32_t k, float khz) { return put(PZT_RATE, si, khz, {.k = k}); }
int32_t can_write_pztramp_trigger(SysInfo* si, int32_t k, const rr_ramp_hdr_t& hdr)
{
    return trigger(PZT_TRIGGER, si, k, hdr, si != nullptr && si->sysType == SYS_MODEL19, 16383);
}
int32_t can_write_pztramp_data(SysInfo* si, int32_t k, const uint16_t* samples, int32_t n)
{
    int32_t rc = ready(PZT_DATA, si, {.k = k});
    if (rc == NO_ERROR && (samples == nullptr || n < 1 || n > static_cast<int32_t>(RAMP_SAMPLES)))
        rc = ERR_PARAM_OUT_OF_RANGE;
    return rc != NO_ERROR ? rc : send_samples(PZT_DATA, si, k, samples, n, static_cast<uint32_t>(n));
}
int32_t can_write_pztramp_gain(SysInfo* si, int32_t k, int32_t kind, uint16_t gain)
{
    // Gain kinds 1 to 3 are subindexes 6 to 8; another kind is refused by the range rule, after
    // the node and slot checks.
    const bool known = kind >= 1 && kind <= 3;
    return put(PZT_GAIN, si, known ? gain : -1.0, {.k = k, .sub = static_cast<uint8_t>(known ? kind - 1 : 0)});
}
int32_t can_read_pztramp_errchk(SysInfo* si, uint8_t* faults)
{
    return get(PZT_ERRCHK, si, faults, {}, [](uint32_t v) { return v >> 24; });  // the fault bits
}

// ---- LED node ---------------------------------------------------------------------------------

int32_t can_write_led_setup(SysInfo* si, uint8_t setup) { return put(LED_SETUP, si, setup); }
int32_t can_write_llc(SysInfo* si, uint16_t level, bool invert) { return put(LLC_W, si, inv(invert)(level)); }
int32_t can_read_llc(SysInfo* si, uint16_t* level, bool invert) { return get(LLC_R, si, level, {}, inv(invert)); }
int32_t can_write_llc_avgcurlmt(SysInfo* si, uint32_t limit) { return put(LLC_AVGCURLMT, si, limit); }
int32_t can_write_llc_fwdvlt(SysInfo* si, uint32_t voltage) { return put(LLC_FWDVLT, si, voltage); }
int32_t can_write_llc_pwmfreq(SysInfo* si, uint32_t frequency) { return put(LLC_PWMFREQ, si, frequency); }

// ---- Dual brush motor node --------------------------------------------------------------------

int32_t can_read_turret(SysInfo* si, uint8_t* position) { return get(TURRET, si, position); }
int32_t can_read_turret_status(SysInfo* si, uint8_t* status) { return get(TURRET_STATUS, si, status); }
int32_t can_read_zoom(SysInfo* si, int32_t* position)
{
    uint8_t raw = 0, slot = 0;
    int32_t rc = get(ZOOM, si, &raw);
    if (rc != NO_ERROR)
        return rc;
    int32_t pos = raw == 15 ? -2 : raw;  // 15: between positions
    if (zoom_reported_by_pdo(si) && !can_zoom_slot(raw, &slot)) {
        pos = 0;
        rc = ERR_PARAM_OUT_OF_RANGE;
    } else if (zoom_reported_by_pdo(si)) {
        pos = slot;
        can_seed_last_zoom(slot);
    }
    if (position != nullptr)
        *position = pos;
    return rc;
}
int32_t can_read_all_zoom(SysInfo* si)
{
    int32_t rc = ready(ALL_ZOOM, si);
    if (rc == NO_ERROR && zoom_reported_by_pdo(si))
        rc = ERR_INVALID_PARAM;
    uint8_t b[6] = {};
    if (rc != NO_ERROR || (rc = run(ALL_ZOOM, si, {}, 0, nullptr, b, sizeof b)) != NO_ERROR)
        return rc;
    // The object carries six positions; a seventh position has no byte and reads as none.
    for (int i = 0; i < can_state(si)->zoomPosCount && i < 7; ++i)
        si->canInfo->zoomPos[i] = i < 6 && b[i] != 15 ? b[i] : -2;
    return NO_ERROR;
}
int32_t can_get_brmtr_config(SysInfo* si)
{
    uint8_t b[2] = {};
    int32_t rc = run(BRMTR_CONFIG, si, {}, 0, nullptr, b, sizeof b);
    if (rc == NO_ERROR) {
        can_state(si)->zoomPosCount = b[0] & 7;
        can_state(si)->turretPosCount = b[1] & 7;
    }
    return rc;
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
    uint16_t major = 0, minor = 0;
    int32_t rc = ready(ENC_BACKLASH, si);
    if (rc != NO_ERROR || (rc = can_read_version(si, ENC, &major, &minor)) != NO_ERROR)
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
    // One look at the wheel, 100 ms on: its status byte by polling, else what the decoder saw.
    uint8_t home = 8;  // searching
    bool moving = true;
    int32_t t = 0;
    auto look = [&]() -> int32_t {
        can_pause_ms(100);
        t += 100;
        uint8_t status = 0;
        if (!polling) {
            can_process_events(si);
            can_ndw_status(&home, &moving);
            return NO_ERROR;
        }
        int32_t r = can_read_ndw_status(si, &status);
        home = status & 0x18;
        moving = (status & 2) != 0;
        return r;
    };
    if (rc != NO_ERROR)
        return rc;
    can_ndw_set_status(home, false);
    rc = can_write_ndw_control(si, 3);
    while (rc == NO_ERROR && (home & 0x18) == 8) {
        if (t >= limit_ms) {
            u_log_sink("%s: timeout waiting for home search, time=%d ms\n", "can_home_ndw", static_cast<int>(t));
            return ERR_CAN_NDW_HOME_ERROR;
        }
        rc = look();
    }
    if (rc == NO_ERROR && (home & 0x18) == 0x10) {
        u_log_sink("%s: llcHomeStatus=%d\n", "can_home_ndw", static_cast<int>(home & 0x18));
        return ERR_CAN_NDW_HOME_ERROR;
    }
    if (rc == NO_ERROR && !polling)
        can_ndw_set_status(home, true);
    while (rc == NO_ERROR && t < limit_ms)
        if ((rc = look()) != NO_ERROR || !moving)
            return rc;
    if (rc == NO_ERROR)
        u_log_sink("%s: timeout waiting for move to initial position, time=%d ms\n", "can_home_ndw", static_cast<int>(t));
    return rc != NO_ERROR ? rc : ERR_CAN_NDW_HOME_ERROR;
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
    if (rc != NO_ERROR || now == position || (rc = can_read_rs_keypress_mode(si, &mode)) != NO_ERROR)
        return rc;
    // Keypress bit 1 is cleared for the move and restored afterwards.
    const bool changed = (mode & 2) != 0;
    if (changed && (rc = can_write_rs_keypress_mode(si, static_cast<uint8_t>(mode & ~2))) != NO_ERROR)
        return rc;
    uint16_t limit = 0;
    rc = can_read_rs_maxCurrent(si, &limit);
    if (rc == NO_ERROR)
        rc = can_write_rs_current(si, static_cast<int16_t>(position == 1 ? -static_cast<int32_t>(limit) : limit));
    if (rc == NO_ERROR && wait)
        rc = wait_stopped([&](uint8_t* s) { return can_read_rs_status(si, s); }, 250, 500, ERR_RS_TIMEOUT);
    const int32_t restored = changed ? can_write_rs_keypress_mode(si, mode) : NO_ERROR;
    return rc != NO_ERROR ? rc : restored;
}

int32_t can_set_diffuser_disks(SysInfo* si, bool on)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    auto toggle = [&](const at& a) {
        uint8_t c = 0;
        int32_t rc = get(M1_CONTROL_R, si, &c, a);
        return rc != NO_ERROR ? rc : put(M1_CONTROL_W, si, on ? (c | 1) : (c & ~1), a);
    };
    // Both disks are tried, whatever the first one did; the first failure is returned.
    int32_t rc = can_avail(si)->canDdZoomAvail ? toggle(zm("can_read_zoom_dd_control")) : NO_ERROR;
    const int32_t rs_rc = si->ringSpot && can_avail(si)->canDdRsAvail ? toggle(rs("can_read_rs_dd_control")) : NO_ERROR;
    return rc != NO_ERROR ? rc : rs_rc;
}

int32_t can_drive_aux_motor(SysInfo* si, bool forward)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    if (si->sysType != SYS_MODEL20)
        return NO_ERROR;
    constexpr uint8_t AUX = CAN_NODE_ID_AUX_MOTOR;
    int32_t rc = write_current(si, {AUX, 0, 0, ERR_CAN_AUX_MOTOR_ERROR, "can_drive_aux_motor"}, forward ? 500 : -500);
    if (rc != NO_ERROR)
        return rc;
    const at status{AUX, 0, 0, ERR_CAN_SDO_AUX_MOTOR_ERROR};
    return wait_stopped([&](uint8_t* s) { return get(M2_STATUS, si, s, status); }, 250, 21, ERR_AV_TIMEOUT);
}

int32_t can_set_llc_range(SysInfo* si, int32_t selector)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    const bool known = selector == 0 || selector == 1;
    const uint32_t limit = known ? si->currentLight().avgCurLimit[selector] : 1000;
    const uint32_t voltage = known ? si->currentLight().fwdVoltage[selector] : 4500;
    int32_t rc = limit != 0 ? can_write_llc_avgcurlmt(si, limit) : NO_ERROR;
    if (rc == NO_ERROR && voltage != 0)
        rc = can_write_llc_fwdvlt(si, voltage);
    if (rc != NO_ERROR)
        u_log_sink("%s failed: %s\n", "can_set_llc_range", u_err_name(rc));
    return rc;
}

int32_t can_start_ramp(SysInfo* si, int32_t slot)
{
    if (int32_t rc = ready(RAMP_START, si); rc != NO_ERROR)
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
    int32_t rc = put(bridge ? RAMP_SELECT : PZT_SELECT, si, ramp.slot);
    if (rc != NO_ERROR)
        return rc;
    // A ramp not started yet: the PI controller's profile must be the ramp's. A mismatch is
    // flagged in configuration bit 13.
    if ((rc = can_check_pi_ramp(si, ramp)) != NO_ERROR) {
        uint16_t config = 0;
        if (get(CONFIG_R, si, &config) == NO_ERROR)
            put(CONFIG_W, si, config | 0x2000);
        return rc;
    }
    uint8_t valid = 0, status = 0;
    rc = get(bridge ? RAMP_VALID : PZT_VALID, si, &valid, {.k = ramp.slot});
    if (rc == NO_ERROR && valid == 0)
        rc = ERR_INVALID_RAMP_INDEX;
    if (rc == NO_ERROR)
        rc = get(bridge ? RAMP_STATUS : PZT_STATUS, si, &status);
    if (rc == NO_ERROR && status != 0) {
        u_log_sink("can_start_ramp/pztramp: cannot start ramp, status = %d\n", static_cast<int>(status));
        rc = ERR_RAMP_BUSY;
    }
    if (rc == NO_ERROR && (rc = put(bridge ? RAMP_START : PZT_START, si, 1)) == NO_ERROR)
        ramp.startStamp = u_wall_s();
    return rc;
}
