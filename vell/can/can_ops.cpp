#include "vell/can/can_ops.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_events.h"
#include "vell/can/can_sdo.h"
#include "vell/can/zoomcal.h"
#include "vell/platform/byte_order.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/ramps/ramp_file.h"
#include "vell/ramps/ramp_set.h"

namespace {

using namespace dat_bytes;

std::atomic<can_agc_running_fn> agc_running{nullptr};

constexpr uint32_t RAMP_SAMPLES = 16384;

// One transfer of a value of 1, 2 or 4 bytes, little-endian on the wire.
int32_t rd(uint8_t node, uint16_t index, uint8_t sub, uint32_t size, uint32_t* value, int32_t abort,
           const char* caller, bool reset = true)
{
    uint8_t b[4] = {};
    int32_t rc = can_sdo_read2(node, index, sub, b, size, reset, abort, caller);
    if (rc != NO_ERROR)
        return rc;
    *value = size == 1 ? b[0] : size == 2 ? load_le16(b) : load_le32(b);
    return NO_ERROR;
}

int32_t wr(uint8_t node, uint16_t index, uint8_t sub, uint32_t size, uint32_t value, int32_t abort,
           const char* caller, bool reset = true)
{
    uint8_t b[4] = {};
    if (size == 1)
        b[0] = static_cast<uint8_t>(value);
    else if (size == 2)
        store_le16(b, static_cast<uint16_t>(value));
    else
        store_le32(b, value);
    return can_sdo_write2(node, index, sub, b, size, reset, abort, caller);
}

uint32_t float_bits(float f)
{
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}
float bits_float(uint32_t u)
{
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

template <class T>
int32_t rd_as(uint8_t node, uint16_t index, uint8_t sub, uint32_t size, T* out, int32_t abort, const char* caller)
{
    uint32_t v = 0;
    int32_t rc = rd(node, index, sub, size, &v, abort, caller);
    if (rc == NO_ERROR && out != nullptr)
        *out = static_cast<T>(v);
    return rc;
}

bool is_can(const SysInfo* si) { return si->instrBdType == BD_CAN; }

// Family-1 entry check: record and board.
int32_t dmd_check(const SysInfo* si)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    return is_can(si) ? NO_ERROR : ERR_INVALID_PARAM;
}

// Entry check of the families that refuse another board with ERR_WRONG_INSTR_BOARD.
int32_t board_check(const SysInfo* si)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    return is_can(si) ? NO_ERROR : ERR_WRONG_INSTR_BOARD;
}

// A family-2 wrapper's substitution of the shared abort code.
int32_t subst(int32_t rc, int32_t code) { return rc == ERR_CAN_SDO_DMD_ERROR ? code : rc; }

bool sys_is(const SysInfo* si, std::initializer_list<int32_t> types)
{
    for (int32_t t : types)
        if (si->sysType == t)
            return true;
    return false;
}

void wait_step(uint32_t ms)
{
    u_sleep_ms(ms);
    u_idle_hook();
}

int32_t ramp_object(int32_t k, uint16_t* index)
{
    if (k < 0 || k > 3)
        return ERR_PARAM_OUT_OF_RANGE;
    *index = static_cast<uint16_t>(0x2003 + k);
    return NO_ERROR;
}

// True when the bridge firmware carries the configuration word.
bool config_word_supported(const CanInfo& c) { return c.fwMajor > 1 || c.fwMinor > 11; }

// The PZT ramp node selected by rampMux: 0 with its node and abort code, else the failure.
int32_t pzt_node(SysInfo* si, uint8_t* node, int32_t* abort)
{
    int32_t rc = board_check(si);
    if (rc != NO_ERROR)
        return rc;
    const can_slot_state* st = can_state(si);
    const int32_t mux = st->rampMux;
    const can_node_avail* av = &st->avail;
    if (mux == 0) {
        if (!av->canTriplePztAvail) {
            u_log_sink("The triple PZT node is not available\n");
            return ERR_CAN_NODE_NOT_AVAIL;
        }
        *node = CAN_NODE_ID_TRIPLEPZT;
        *abort = ERR_CAN_SDO_PZT_ERROR;
        return NO_ERROR;
    }
    if (mux == 1) {
        if (!av->canLargeApAvail) {
            u_log_sink("The large aperture PZT power node is not available\n");
            return ERR_CAN_NODE_NOT_AVAIL;
        }
        *node = CAN_NODE_ID_LARGEAP;
        *abort = ERR_CAN_SDO_LAP_ERROR;
        return NO_ERROR;
    }
    u_log_sink("Invalid parameter si->rampMux=%d\n", static_cast<int>(mux));
    return ERR_INVALID_PARAM;
}

bool pi_scanner(const SysInfo* si) { return si != nullptr && sysinfo_pi_scanner(*si) != 0; }

constexpr uint8_t B = CAN_NODE_ID_RAMP;
constexpr int32_t RAMP_ABORT = ERR_CAN_SDO_RAMP_ERROR;
constexpr int32_t BRIDGE_ABORT = ERR_CAN_SDO_BRIDGE_ERROR;

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

// ---- Family 1 -------------------------------------------------------------------------------

#define DMD_CHECK()                     \
    do {                                \
        int32_t rc_ = dmd_check(si);    \
        if (rc_ != NO_ERROR)            \
            return rc_;                 \
    } while (0)

int32_t can_read_dmd_motor1_control(SysInfo* si, uint8_t node, uint8_t* value)
{
    DMD_CHECK();
    return rd_as(node, 0x2000, 0, 1, value, ERR_CAN_SDO_DMD_ERROR, "can_read_dmd_motor1_control");
}
int32_t can_write_dmd_motor1_control(SysInfo* si, uint8_t node, uint8_t value)
{
    DMD_CHECK();
    return wr(node, 0x2000, 0, 1, value, ERR_CAN_SDO_DMD_ERROR, "can_write_dmd_motor1_control");
}
int32_t can_write_dmd_motor1_mode(SysInfo* si, uint8_t node, int32_t mode)
{
    DMD_CHECK();
    if (mode < 0 || mode > 4) {
        u_log_sink("%s: invalid mode=%d\n", "can_write_dmd_motor1_mode", static_cast<int>(mode));
        return ERR_INVALID_PARAM;
    }
    return wr(node, 0x2002, 0, 1, static_cast<uint32_t>(mode), ERR_CAN_SDO_DMD_ERROR, "can_write_dmd_motor1_mode");
}
int32_t can_write_dmd_motor1_targetVel(SysInfo* si, uint8_t node, float velocity)
{
    DMD_CHECK();
    if (!(velocity >= 10.0f && velocity <= 10000.0f))
        return ERR_INVALID_PARAM;
    return wr(node, 0x2004, 0, 4, float_bits(velocity), ERR_CAN_SDO_DMD_ERROR, "can_write_dmd_motor1_targetVel");
}
int32_t can_write_dmd_motor2_control(SysInfo* si, uint8_t node, uint8_t value)
{
    DMD_CHECK();
    return wr(node, 0x2020, 0, 1, value, ERR_CAN_SDO_DMD_ERROR, "can_write_dmd_motor2_control");
}
int32_t can_read_dmd_motor2_status(SysInfo* si, uint8_t node, uint8_t* value)
{
    DMD_CHECK();
    return rd_as(node, 0x2021, 0, 1, value, ERR_CAN_SDO_DMD_ERROR, "can_read_dmd_motor2_status");
}
int32_t can_read_dmd_motor2_llcLevel(SysInfo* si, uint8_t node, uint16_t* level, bool invert)
{
    DMD_CHECK();
    uint16_t v = 0;
    int32_t rc = rd_as(node, 0x2028, 0, 2, &v, ERR_CAN_SDO_DMD_ERROR, "can_read_dmd_motor2_llcLevel");
    if (rc == NO_ERROR && level != nullptr)
        *level = invert ? static_cast<uint16_t>(~v) : v;
    return rc;
}
int32_t can_write_dmd_motor2_llcLevel(SysInfo* si, uint8_t node, uint16_t level, bool invert)
{
    DMD_CHECK();
    can_agc_running_fn fn = agc_running.load(std::memory_order_acquire);
    const bool reset = !(fn != nullptr && fn());
    const uint16_t v = invert ? static_cast<uint16_t>(~level) : level;
    return wr(node, 0x2028, 0, 2, v, ERR_CAN_SDO_DMD_ERROR, "can_write_dmd_motor2_llcLevel", reset);
}
int32_t can_read_dmd_motor2_maxCurrent(SysInfo* si, uint8_t node, uint16_t* value)
{
    DMD_CHECK();
    return rd_as(node, 0x2036, 0, 2, value, ERR_CAN_SDO_DMD_ERROR, "can_read_dmd_motor2_maxCurrent");
}
int32_t can_write_dmd_motor2_current(SysInfo* si, uint8_t node, int16_t current)
{
    DMD_CHECK();
    uint32_t unused = 0;
    int32_t rc = rd(node, 0x2036, 0, 2, &unused, ERR_CAN_SDO_DMD_ERROR, "can_write_dmd_motor2_current");
    if (rc != NO_ERROR)
        return rc;
    return wr(node, 0x2034, 0, 2, static_cast<uint16_t>(current), ERR_CAN_SDO_DMD_ERROR,
              "can_write_dmd_motor2_current");
}
int32_t can_read_dmd_motor2_position(SysInfo* si, uint8_t node, uint8_t* value)
{
    DMD_CHECK();
    return rd_as(node, 0x2047, 0, 1, value, ERR_CAN_SDO_DMD_ERROR, "can_read_dmd_motor2_position");
}
int32_t can_read_dmd_keypress_mode(SysInfo* si, uint8_t node, uint8_t* mode)
{
    DMD_CHECK();
    return rd_as(node, 0x2044, 8, 1, mode, ERR_CAN_SDO_DMD_ERROR, "can_read_dmd_keypress_mode");
}
int32_t can_write_dmd_keypress_mode(SysInfo* si, uint8_t node, uint8_t mode)
{
    DMD_CHECK();
    return wr(node, 0x2044, 8, 1, mode, ERR_CAN_SDO_DMD_ERROR, "can_write_dmd_keypress_mode");
}

// ---- Family 2 -------------------------------------------------------------------------------

#define WRAP(name, node, code, call)                       \
    do {                                                   \
        if (si == nullptr)                                 \
            return ERR_SYS_INFO_NOT_AVAIL;                 \
        int32_t g_ = can_node_guard(si, node, name);           \
        if (g_ != NO_ERROR)                                \
            return g_;                                     \
        return subst(call, code);                          \
    } while (0)

#define RS(name, call) WRAP(name, CAN_NODE_ID_DD_RS, ERR_CAN_SDO_ROF_ERROR, call)
#define ZM(name, call) WRAP(name, CAN_NODE_ID_DD_ZOOM, ERR_CAN_SDO_ZOOM_ERROR, call)
#define NDW(name, call) WRAP(name, CAN_NODE_ID_FOCUS_NDW, ERR_CAN_SDO_NDW_ERROR, call)
#define FZM(name, call) WRAP(name, CAN_NODE_ID_FOCUS_NDW, ERR_CAN_SDO_FZM_ERROR, call)

int32_t can_read_rs_dd_control(SysInfo* si, uint8_t* v)
{ RS("can_read_rs_dd_control", can_read_dmd_motor1_control(si, CAN_NODE_ID_DD_RS, v)); }
int32_t can_write_rs_dd_control(SysInfo* si, uint8_t v)
{ RS("can_write_rs_dd_control", can_write_dmd_motor1_control(si, CAN_NODE_ID_DD_RS, v)); }
int32_t can_write_rs_dd_mode(SysInfo* si, int32_t mode)
{ RS("can_write_rs_dd_mode", can_write_dmd_motor1_mode(si, CAN_NODE_ID_DD_RS, mode)); }
int32_t can_read_rs_status(SysInfo* si, uint8_t* v)
{ RS("can_read_rs_status", can_read_dmd_motor2_status(si, CAN_NODE_ID_DD_RS, v)); }
int32_t can_write_rs_current(SysInfo* si, int16_t current)
{ RS("can_write_rs_current", can_write_dmd_motor2_current(si, CAN_NODE_ID_DD_RS, current)); }
int32_t can_read_rs_maxCurrent(SysInfo* si, uint16_t* v)
{ RS("can_read_rs_maxCurrent", can_read_dmd_motor2_maxCurrent(si, CAN_NODE_ID_DD_RS, v)); }
int32_t can_read_rs_keypress_mode(SysInfo* si, uint8_t* v)
{ RS("can_read_rs_keypress_mode", can_read_dmd_keypress_mode(si, CAN_NODE_ID_DD_RS, v)); }
int32_t can_write_rs_keypress_mode(SysInfo* si, uint8_t v)
{ RS("can_write_rs_keypress_mode", can_write_dmd_keypress_mode(si, CAN_NODE_ID_DD_RS, v)); }

int32_t can_read_rs_position(SysInfo* si, uint8_t* position)
{
    if (position != nullptr)
        *position = 255;
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    int32_t g = can_node_guard(si, CAN_NODE_ID_DD_RS, "can_read_rs_position");
    if (g != NO_ERROR)
        return g;
    uint8_t raw = 0;
    int32_t rc = subst(can_read_dmd_motor2_position(si, CAN_NODE_ID_DD_RS, &raw), ERR_CAN_SDO_ROF_ERROR);
    if (rc == NO_ERROR && position != nullptr)
        *position = raw == 1 ? 0 : raw == 2 ? 1 : 255;
    return rc;
}

int32_t can_read_zoom_dd_control(SysInfo* si, uint8_t* v)
{ ZM("can_read_zoom_dd_control", can_read_dmd_motor1_control(si, CAN_NODE_ID_DD_ZOOM, v)); }
int32_t can_write_zoom_dd_control(SysInfo* si, uint8_t v)
{ ZM("can_write_zoom_dd_control", can_write_dmd_motor1_control(si, CAN_NODE_ID_DD_ZOOM, v)); }
int32_t can_write_zoom_dd_mode(SysInfo* si, int32_t mode)
{ ZM("can_write_zoom_dd_mode", can_write_dmd_motor1_mode(si, CAN_NODE_ID_DD_ZOOM, mode)); }
int32_t can_read_zoom_keypress_mode(SysInfo* si, uint8_t* v)
{ ZM("can_read_zoom_keypress_mode", can_read_dmd_keypress_mode(si, CAN_NODE_ID_DD_ZOOM, v)); }
int32_t can_write_zoom_keypress_mode(SysInfo* si, uint8_t v)
{ ZM("can_write_zoom_keypress_mode", can_write_dmd_keypress_mode(si, CAN_NODE_ID_DD_ZOOM, v)); }

int32_t can_write_zoom_dd_targetVel(SysInfo* si, float velocity)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    int32_t g = can_node_guard(si, CAN_NODE_ID_DD_ZOOM, "can_write_zoom_dd_targetVel");
    if (g != NO_ERROR)
        return g;
    int32_t rc = subst(can_write_dmd_motor1_targetVel(si, CAN_NODE_ID_DD_ZOOM, velocity), ERR_CAN_SDO_ZOOM_ERROR);
    if (rc == NO_ERROR)
        if (can_slot_state* st = can_state(si))
            st->zoomDdTargetVel = velocity;
    return rc;
}

int32_t can_write_ndw_control(SysInfo* si, uint8_t v)
{ NDW("can_write_ndw_control", can_write_dmd_motor2_control(si, CAN_NODE_ID_FOCUS_NDW, v)); }
int32_t can_read_ndw_status(SysInfo* si, uint8_t* v)
{ NDW("can_read_ndw_status", can_read_dmd_motor2_status(si, CAN_NODE_ID_FOCUS_NDW, v)); }
int32_t can_read_ndw_llcLevel(SysInfo* si, uint16_t* v, bool invert)
{ NDW("can_read_ndw_llcLevel", can_read_dmd_motor2_llcLevel(si, CAN_NODE_ID_FOCUS_NDW, v, invert)); }
int32_t can_read_focus_keypress_mode(SysInfo* si, uint8_t* v)
{ FZM("can_read_focus_keypress_mode", can_read_dmd_keypress_mode(si, CAN_NODE_ID_FOCUS_NDW, v)); }
int32_t can_write_focus_keypress_mode(SysInfo* si, uint8_t v)
{ FZM("can_write_focus_keypress_mode", can_write_dmd_keypress_mode(si, CAN_NODE_ID_FOCUS_NDW, v)); }

int32_t can_write_ndw_llcLevel(SysInfo* si, uint16_t level, bool invert)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    int32_t g = can_node_guard(si, CAN_NODE_ID_FOCUS_NDW, "can_write_ndw_llcLevel");
    if (g != NO_ERROR)
        return g;
    can_process_events(si);
    // The wheel is about to move: its stop event is reset now and signalled by the decoder
    // when the wheel reports that it stopped. Without the event the level is written alone.
    u_handle stopped = nullptr;
    const bool have_event = u_event_open(CAN_NDWHEEL_STOPPED, &stopped) == NO_ERROR;
    if (have_event)
        u_event_reset(stopped);
    int32_t rc = subst(can_write_dmd_motor2_llcLevel(si, CAN_NODE_ID_FOCUS_NDW, level, invert), ERR_CAN_SDO_NDW_ERROR);
    if (have_event) {
        if (rc != NO_ERROR)
            u_event_set(stopped);
        u_close_handle(stopped);
    }
    return rc;
}

// ---- Family 3 -------------------------------------------------------------------------------

#define BOARD_CHECK()                     \
    do {                                  \
        int32_t rc_ = board_check(si);    \
        if (rc_ != NO_ERROR)              \
            return rc_;                   \
    } while (0)

int32_t can_read_bridge_status(SysInfo* si, uint8_t* status)
{
    BOARD_CHECK();
    return rd_as(B, 0x2010, 1, 1, status, BRIDGE_ABORT, "can_read_bridge_status");
}
int32_t can_bridge_read_config(SysInfo* si, uint16_t* config)
{
    BOARD_CHECK();
    return rd_as(B, 0x2010, 2, 2, config, RAMP_ABORT, "can_bridge_read_config");
}
int32_t can_bridge_write_config(SysInfo* si, uint16_t config)
{
    BOARD_CHECK();
    return wr(B, 0x2010, 2, 2, config, RAMP_ABORT, "can_bridge_write_config");
}
int32_t can_write_fg_trigger(SysInfo* si, uint16_t value)
{
    BOARD_CHECK();
    if (!si->canInfo)
        return ERR_HW_FAIL;
    const uint32_t size = config_word_supported(*si->canInfo) ? 2 : 1;
    return wr(B, 0x2010, 5, size, value, RAMP_ABORT, "can_write_fg_trigger");
}
int32_t can_bridge_read_digitalout(SysInfo* si, uint8_t* value)
{
    BOARD_CHECK();
    return rd_as(B, 0x6200, 1, 1, value, BRIDGE_ABORT, "can_bridge_read_digitalout");
}
int32_t can_bridge_write_digitalout(SysInfo* si, uint8_t value)
{
    BOARD_CHECK();
    return wr(B, 0x6200, 1, 1, value, BRIDGE_ABORT, "can_bridge_write_digitalout");
}
int32_t can_set_align_illumination_diode(SysInfo* si, bool on)
{
    BOARD_CHECK();
    if (!si->canInfo || si->canInfo->fwMajor == 0)
        return NO_ERROR;
    const CanInfo& c = *si->canInfo;
    if (c.fwMajor < 10 || (c.fwMajor == 10 && c.fwMinor < 9)) {
        uint32_t out = 0;
        int32_t rc = rd(B, 0x6200, 1, 1, &out, BRIDGE_ABORT, "can_set_align_illumination_diode");
        if (rc != NO_ERROR)
            return rc;
        out = on ? (out & ~1u) : (out | 1u);
        return wr(B, 0x6200, 1, 1, out, BRIDGE_ABORT, "can_set_align_illumination_diode");
    }
    int32_t rc = wr(B, 0x6240, 1, 1, 1, BRIDGE_ABORT, "can_set_align_illumination_diode");
    if (rc != NO_ERROR)
        return rc;
    return wr(B, 0x6220, 1, 1, on ? 1 : 0, BRIDGE_ABORT, "can_set_align_illumination_diode");
}
int32_t can_write_syncgen(SysInfo* si)
{
    BOARD_CHECK();
    const float rate = si->cameraRate.load();
    return wr(B, 0x2030, 0, 4, float_bits(rate), RAMP_ABORT, "can_write_syncgen");
}
int32_t can_ramp_start(SysInfo* si)
{
    BOARD_CHECK();
    if (pi_scanner(si))
        return can_pi_ramp_start(si);
    return wr(B, 0x2000, 0, 1, 1, RAMP_ABORT, "can_ramp_start");
}
int32_t can_read_ramp_status(SysInfo* si, uint8_t* status)
{
    BOARD_CHECK();
    if (pi_scanner(si))
        return can_read_pi_ramp_status(si, status);
    return rd_as(B, 0x2000, 0, 1, status, RAMP_ABORT, "can_read_ramp_status");
}
int32_t can_write_ramp_select(SysInfo* si, int32_t slot)
{
    BOARD_CHECK();
    if (pi_scanner(si))
        return can_write_pi_ramp_select(si, slot);
    if (slot < 0 || slot >= 4)
        return ERR_PARAM_OUT_OF_RANGE;
    return wr(B, 0x2001, 0, 1, static_cast<uint32_t>(slot), RAMP_ABORT, "can_write_ramp_select");
}
int32_t can_read_ramp_valid(SysInfo* si, int32_t k, uint8_t* valid)
{
    BOARD_CHECK();
    uint16_t index = 0;
    int32_t rc = ramp_object(k, &index);
    if (rc != NO_ERROR)
        return rc;
    if (pi_scanner(si)) {
        if (valid != nullptr)
            *valid = 1;
        return NO_ERROR;
    }
    return rd_as(B, index, 1, 1, valid, RAMP_ABORT, "can_read_ramp_valid");
}
int32_t can_write_ramp_trigger(SysInfo* si, int32_t k, const rr_ramp_hdr_t& hdr)
{
    BOARD_CHECK();
    uint16_t index = 0;
    int32_t rc = ramp_object(k, &index);
    if (rc != NO_ERROR)
        return rc;
    int32_t frame = -1;
    const bool ok = can_ramp_frame_number(hdr, &frame);
    if (!ok || frame < 0 || frame > 255) {
        u_log_sink("%s: calculated frameNumber=%d outside of valid range\n", "can_write_ramp_trigger",
                   static_cast<int>(frame));
        return ERR_PARAM_OUT_OF_RANGE;
    }
    return wr(B, index, 2, 2, static_cast<uint32_t>(frame), RAMP_ABORT, "can_write_ramp_trigger");
}
int32_t can_write_ramp_rate(SysInfo* si, int32_t k, float sampleClkKHz)
{
    BOARD_CHECK();
    uint16_t index = 0;
    int32_t rc = ramp_object(k, &index);
    if (rc != NO_ERROR)
        return rc;
    if (!(sampleClkKHz >= 0.0f && sampleClkKHz <= 200.0f))
        return ERR_PARAM_OUT_OF_RANGE;
    return wr(B, index, 4, 4, float_bits(sampleClkKHz * 1000.0f), RAMP_ABORT, "can_write_ramp_rate");
}
int32_t can_write_ramp_data(SysInfo* si, int32_t k, const rr_ramp_t& ramp)
{
    BOARD_CHECK();
    uint16_t index = 0;
    int32_t rc = ramp_object(k, &index);
    if (rc != NO_ERROR)
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
    for (uint32_t i = 0; i < RAMP_SAMPLES; ++i)
        store_le16(&bytes[2 * i], ramp.samples[i < static_cast<uint32_t>(n) ? i : static_cast<uint32_t>(n - 1)]);
    return can_sdo_write2(B, index, 5, bytes.data(), static_cast<uint32_t>(bytes.size()), true, RAMP_ABORT,
                          "can_write_ramp_data");
}
int32_t can_write_pifoc_offset(SysInfo* si, uint32_t offset, bool waitForRamp)
{
    BOARD_CHECK();
    if (offset > 0xFFFF)
        return ERR_PARAM_OUT_OF_RANGE;
    if (pi_scanner(si))
        return NO_ERROR;
    if (!si->pifoc)
        return ERR_HW_FAIL;
    int32_t rc = wr(B, 0x2009, 1, 2, offset, RAMP_ABORT, "can_write_pifoc_offset");
    if (rc != NO_ERROR)
        return rc;
    if (can_slot_state* st = can_state(si))
        st->pifocWriteTime = u_wall_s();
    if (!waitForRamp)
        return NO_ERROR;
    for (int i = 0; i < 20; ++i) {
        wait_step(100);
        uint8_t status = 1;
        rc = can_read_ramp_status(si, &status);
        if (rc != NO_ERROR)
            return rc;
        if (status == 0)
            return NO_ERROR;
    }
    return ERR_RAMP_WAIT_TIMEOUT;
}

#define PI_CHECK()                              \
    do {                                        \
        BOARD_CHECK();                          \
        if (!pi_scanner(si))                    \
            return ERR_INVALID_PARAM;           \
    } while (0)

int32_t can_pi_ramp_start(SysInfo* si)
{
    PI_CHECK();
    return wr(B, 0x2041, 6, 1, 1, RAMP_ABORT, "can_pi_ramp_start");
}
int32_t can_write_pi_ramp_select(SysInfo* si, int32_t ramp)
{
    PI_CHECK();
    const int32_t top = sysinfo_pi_ramp_count(*si);
    if (ramp < 1 || ramp > top)
        return ERR_PARAM_OUT_OF_RANGE;
    return wr(B, 0x2041, 1, 1, static_cast<uint32_t>(ramp), RAMP_ABORT, "can_write_pi_ramp_select");
}
int32_t can_read_pi_ramp_status(SysInfo* si, uint8_t* status)
{
    PI_CHECK();
    if (!si->canInfo)
        return ERR_HW_FAIL;
    const CanInfo& c = *si->canInfo;
    const bool newer = c.fwMajor > 5 && c.fwMinor > 5;
    uint16_t v = 0;
    int32_t rc = newer ? rd_as(B, 0x2040, 0, 2, &v, RAMP_ABORT, "can_read_pi_ramp_status")
                       : rd_as(B, 0x2041, 11, 2, &v, RAMP_ABORT, "can_read_pi_ramp_status");
    if (rc == NO_ERROR && status != nullptr)
        *status = v != 0 ? 3 : 0;
    return rc;
}
int32_t can_read_pi_ramp_amplitude(SysInfo* si, float* amplitude)
{
    PI_CHECK();
    uint32_t v = 0;
    int32_t rc = rd(B, 0x2041, 2, 4, &v, RAMP_ABORT, "can_read_pi_ramp_amplitude");
    if (rc == NO_ERROR && amplitude != nullptr)
        *amplitude = bits_float(v);
    return rc;
}
int32_t can_read_pi_ramp_velocity(SysInfo* si, float* velocity)
{
    PI_CHECK();
    uint32_t v = 0;
    int32_t rc = rd(B, 0x2041, 3, 4, &v, RAMP_ABORT, "can_read_pi_ramp_velocity");
    if (rc == NO_ERROR && velocity != nullptr)
        *velocity = bits_float(v);
    return rc;
}
int32_t can_read_pi_serial_integer(SysInfo* si, uint8_t sub, uint16_t* value)
{
    PI_CHECK();
    return rd_as(B, 0x2041, sub, 2, value, RAMP_ABORT, "can_read_pi_serial_integer");
}
int32_t can_pi_load_ddl_tables(SysInfo* si, int32_t* tables)
{
    PI_CHECK();
    if (sysinfo_pi_scanner(*si) != SB_PI_751)
        return ERR_INVALID_PARAM;
    int32_t rc = wr(B, 0x2041, 19, 1, 0, RAMP_ABORT, "can_pi_load_ddl_tables");
    if (rc != NO_ERROR)
        return rc;
    wait_step(2000);
    uint16_t n = 0;
    rc = can_read_pi_serial_integer(si, 20, &n);
    if (rc == NO_ERROR && tables != nullptr)
        *tables = n;
    return rc;
}

// ---- Family 4 -------------------------------------------------------------------------------

#define PZT(node, abort)                                \
    uint8_t node = 0;                                   \
    int32_t abort = 0;                                  \
    do {                                                \
        int32_t rc_ = pzt_node(si, &node, &abort);      \
        if (rc_ != NO_ERROR)                            \
            return rc_;                                 \
    } while (0)

int32_t can_pztramp_start(SysInfo* si)
{
    PZT(node, abort);
    return wr(node, 0x2000, 0, 1, 1, abort, "can_pztramp_start");
}
int32_t can_read_pztramp_status(SysInfo* si, uint8_t* status)
{
    PZT(node, abort);
    return rd_as(node, 0x2000, 0, 1, status, abort, "can_read_pztramp_status");
}
int32_t can_write_pztramp_select(SysInfo* si, int32_t slot)
{
    PZT(node, abort);
    if (slot < 0 || slot >= 4)
        return ERR_PARAM_OUT_OF_RANGE;
    return wr(node, 0x2001, 0, 1, static_cast<uint32_t>(slot), abort, "can_write_pztramp_select");
}
int32_t can_read_pztramp_valid(SysInfo* si, int32_t k, uint8_t* valid)
{
    PZT(node, abort);
    uint16_t index = 0;
    int32_t rc = ramp_object(k, &index);
    if (rc != NO_ERROR)
        return rc;
    return rd_as(node, index, 1, 1, valid, abort, "can_read_pztramp_valid");
}
int32_t can_write_pztramp_trigger(SysInfo* si, int32_t k, const rr_ramp_hdr_t& hdr)
{
    PZT(node, abort);
    uint16_t index = 0;
    int32_t rc = ramp_object(k, &index);
    if (rc != NO_ERROR)
        return rc;
    int32_t frame = -1;
    bool ok = can_ramp_frame_number(hdr, &frame);
    if (ok && si->sysType == SYS_MODEL19) {
        const int64_t doubled = 2 * static_cast<int64_t>(frame) + 1;
        ok = doubled >= INT32_MIN && doubled <= INT32_MAX;
        frame = ok ? static_cast<int32_t>(doubled) : -1;
    }
    if (!ok || frame < 0 || frame > 16383) {
        u_log_sink("%s: calculated frameNumber=%d outside of valid range [%d,%d]\n", "can_write_pztramp_trigger",
                   static_cast<int>(frame), 0, 16383);
        return ERR_PARAM_OUT_OF_RANGE;
    }
    return wr(node, index, 2, 2, static_cast<uint32_t>(frame), abort, "can_write_pztramp_trigger");
}
int32_t can_write_pztramp_rate(SysInfo* si, int32_t k, float sampleClkKHz)
{
    PZT(node, abort);
    uint16_t index = 0;
    int32_t rc = ramp_object(k, &index);
    if (rc != NO_ERROR)
        return rc;
    if (!(sampleClkKHz >= 0.0f && sampleClkKHz <= 200.0f))
        return ERR_PARAM_OUT_OF_RANGE;
    return wr(node, index, 4, 4, float_bits(sampleClkKHz * 1000.0f), abort, "can_write_pztramp_rate");
}
int32_t can_write_pztramp_data(SysInfo* si, int32_t k, const uint16_t* samples, int32_t n)
{
    PZT(node, abort);
    uint16_t index = 0;
    int32_t rc = ramp_object(k, &index);
    if (rc != NO_ERROR)
        return rc;
    if (samples == nullptr || n < 1 || n > static_cast<int32_t>(RAMP_SAMPLES))
        return ERR_PARAM_OUT_OF_RANGE;
    std::vector<uint8_t> bytes(static_cast<std::size_t>(n) * 2);
    for (int32_t i = 0; i < n; ++i)
        store_le16(&bytes[2 * static_cast<std::size_t>(i)], samples[i]);
    return can_sdo_write2(node, index, 5, bytes.data(), static_cast<uint32_t>(bytes.size()), true, abort,
                          "can_write_pztramp_data");
}
int32_t can_write_pztramp_gain(SysInfo* si, int32_t k, int32_t kind, uint16_t gain)
{
    PZT(node, abort);
    uint16_t index = 0;
    int32_t rc = ramp_object(k, &index);
    if (rc != NO_ERROR)
        return rc;
    if (kind < 1 || kind > 3 || gain > 0x3FFF)
        return ERR_PARAM_OUT_OF_RANGE;
    return wr(node, index, static_cast<uint8_t>(5 + kind), 2, gain, abort, "can_write_pztramp_gain");
}
int32_t can_read_pztramp_errchk(SysInfo* si, uint8_t* faults)
{
    PZT(node, abort);
    uint32_t v = 0;
    int32_t rc = rd(node, 0x1002, 0, 4, &v, abort, "can_read_pztramp_errchk");
    if (rc == NO_ERROR && faults != nullptr)
        *faults = static_cast<uint8_t>(v >> 24);
    return rc;
}

// ---- Family 5 -------------------------------------------------------------------------------

constexpr uint8_t LED = CAN_NODE_ID_LED;
constexpr int32_t LED_ABORT = ERR_CAN_SDO_LED_ERROR;

int32_t can_write_led_setup(SysInfo* si, uint8_t setup)
{
    BOARD_CHECK();
    return wr(LED, 0x2000, 0, 1, setup, LED_ABORT, "can_write_led_setup");
}
int32_t can_write_llc(SysInfo* si, uint16_t level, bool invert)
{
    BOARD_CHECK();
    return wr(LED, 0x2001, 0, 2, invert ? static_cast<uint16_t>(~level) : level, LED_ABORT, "can_write_llc");
}
int32_t can_read_llc(SysInfo* si, uint16_t* level, bool invert)
{
    BOARD_CHECK();
    uint16_t v = 0;
    int32_t rc = rd_as(LED, 0x2001, 0, 2, &v, LED_ABORT, "can_read_llc");
    if (rc == NO_ERROR && level != nullptr)
        *level = invert ? static_cast<uint16_t>(~v) : v;
    return rc;
}
int32_t can_write_llc_avgcurlmt(SysInfo* si, uint32_t limit)
{
    BOARD_CHECK();
    if (limit > 1000)
        return ERR_PARAM_OUT_OF_RANGE;
    return wr(LED, 0x2002, 0, 2, limit, LED_ABORT, "can_write_llc_avgcurlmt");
}
int32_t can_write_llc_fwdvlt(SysInfo* si, uint32_t voltage)
{
    BOARD_CHECK();
    if (voltage > 10000)
        return ERR_PARAM_OUT_OF_RANGE;
    return wr(LED, 0x2004, 0, 2, voltage, LED_ABORT, "can_write_llc_fwdvlt");
}
int32_t can_write_llc_pwmfreq(SysInfo* si, uint32_t frequency)
{
    BOARD_CHECK();
    if (frequency > 1000000)
        return ERR_PARAM_OUT_OF_RANGE;
    return wr(LED, 0x2006, 0, 4, frequency, LED_ABORT, "can_write_llc_pwmfreq");
}

// ---- Family 6 -------------------------------------------------------------------------------

constexpr uint8_t BRM = CAN_NODE_ID_BRUSHMOTOR;
constexpr int32_t BRM_ABORT = ERR_CAN_SDO_BRMOTOR_ERROR;
constexpr uint32_t PRODUCT_D5 = 0x267215D5u;
constexpr uint32_t PRODUCT_D7 = 0x267215D7u;

int32_t can_read_turret(SysInfo* si, uint8_t* position)
{
    BOARD_CHECK();
    if (si->turret != 1 && si->turret != 2)
        return ERR_MOTORIZED_OR_ENCODED_TURRET_NOT_AVAILABLE;
    return rd_as(BRM, 0x2002, 0, 1, position, BRM_ABORT, "can_read_turret");
}
int32_t can_read_turret_status(SysInfo* si, uint8_t* status)
{
    BOARD_CHECK();
    if (si->turret != 1 && si->turret != 2)
        return ERR_MOTORIZED_OR_ENCODED_TURRET_NOT_AVAILABLE;
    return rd_as(BRM, 0x2001, 0, 1, status, BRM_ABORT, "can_read_turret_status");
}
int32_t can_read_zoom(SysInfo* si, int32_t* position)
{
    BOARD_CHECK();
    if (si->zoom == 0)
        return ERR_ZOOM_NOT_AVAILABLE;
    if (!si->canInfo)
        return ERR_HW_FAIL;
    uint32_t v = 0;
    int32_t rc = rd(BRM, 0x2012, 0, 1, &v, BRM_ABORT, "can_read_zoom");
    if (rc != NO_ERROR)
        return rc;
    int32_t pos;
    if (si->zoom == 1 && si->canInfo->brushMotorProductId == PRODUCT_D7) {
        static constexpr uint8_t zoom_map[8] = {0, 6, 5, 4, 3, 2, 1, 7};
        if (v > 7) {
            if (position != nullptr)
                *position = 0;
            return ERR_PARAM_OUT_OF_RANGE;
        }
        pos = zoom_map[v];
        can_seed_last_zoom(static_cast<uint8_t>(pos));
    } else {
        pos = v == 15 ? -2 : static_cast<int32_t>(v);
    }
    if (position != nullptr)
        *position = pos;
    return NO_ERROR;
}
int32_t can_read_all_zoom(SysInfo* si)
{
    BOARD_CHECK();
    if (si->zoom == 0)
        return ERR_ZOOM_NOT_AVAILABLE;
    if (!si->canInfo)
        return ERR_HW_FAIL;
    if (si->zoom == 1 && si->canInfo->brushMotorProductId == PRODUCT_D7)
        return ERR_INVALID_PARAM;
    uint8_t b[6] = {};
    int32_t rc = can_sdo_read2(BRM, 0x2015, 0, b, sizeof b, true, BRM_ABORT, "can_read_all_zoom");
    if (rc != NO_ERROR)
        return rc;
    const can_slot_state* st = can_state(si);
    const int count = st != nullptr ? st->zoomPosCount : 0;
    // The object carries six positions; a seventh position has no byte and reads as none.
    for (int i = 0; i < count && i < 7; ++i)
        si->canInfo->zoomPos[i] = i < 6 ? (b[i] == 15 ? -2 : b[i]) : -2;
    return NO_ERROR;
}
int32_t can_get_brmtr_config(SysInfo* si)
{
    BOARD_CHECK();
    uint8_t b[2] = {};
    int32_t rc = can_sdo_read2(BRM, 0x2020, 1, b, sizeof b, true, BRM_ABORT, "can_get_brmtr_config");
    if (rc != NO_ERROR)
        return rc;
    if (can_slot_state* st = can_state(si)) {
        st->zoomPosCount = b[0] & 7;
        st->turretPosCount = b[1] & 7;
    }
    return NO_ERROR;
}

// ---- Family 7 -------------------------------------------------------------------------------

constexpr uint8_t FNDW = CAN_NODE_ID_FOCUS_NDW;
constexpr int32_t ENC_ABORT = ERR_CAN_SDO_ENC_ZOOM_ERROR;

int32_t hxi_enc_zoom_set_soft_limits(int32_t low, int32_t high)
{
    int32_t rc = wr(FNDW, 0x607D, 1, 4, static_cast<uint32_t>(low), ENC_ABORT, "hxi_enc_zoom_set_soft_limits");
    if (rc != NO_ERROR)
        return rc;
    return wr(FNDW, 0x607D, 2, 4, static_cast<uint32_t>(high), ENC_ABORT, "hxi_enc_zoom_set_soft_limits");
}
int32_t hxi_enc_zoom_set_motion_mode(SysInfo* si)
{
    BOARD_CHECK();
    if (!si->hxiZoom)
        return ERR_HW_FAIL;
    int32_t rc = wr(FNDW, 0x2002, 0, 1, 3, ENC_ABORT, "hxi_enc_zoom_set_motion_mode");
    if (rc != NO_ERROR)
        return rc;
    return hxi_enc_zoom_set_soft_limits(si->hxiZoom->progLim[0], si->hxiZoom->progLim[1]);
}
int32_t hxi_enc_zoom_set_backlash(SysInfo* si)
{
    BOARD_CHECK();
    if (!si->hxiZoom)
        return ERR_HW_FAIL;
    uint16_t major = 0, minor = 0;
    int32_t rc = can_read_version(si, FNDW, &major, &minor);
    if (rc != NO_ERROR)
        return rc;
    if (major < 4 || (major == 4 && minor < 3)) {
        u_log_sink("HXI encoded zoom firmware version %d.%d is old; version %d.%d or later is required\n",
                   static_cast<int>(major), static_cast<int>(minor), 4, 3);
        return ERR_HXI_ENC_ZOOM_FIRMWARE_VERSION_OLD;
    }
    rc = hxi_enc_zoom_set_motion_mode(si);
    if (rc != NO_ERROR)
        return rc;
    rc = wr(FNDW, 0x2019, 0, 4, static_cast<uint32_t>(si->hxiZoom->backlash), ENC_ABORT, "hxi_enc_zoom_set_backlash");
    if (rc != NO_ERROR)
        return rc;
    rc = hxi_zoom_cal_load(si, nullptr);
    return rc == ERR_HXI_ENC_ZOOM_CANT_OPEN_CAL_FILE ? NO_ERROR : rc;
}

// ---- Composites -----------------------------------------------------------------------------

int32_t can_home_ndw(SysInfo* si, bool polling, int32_t limit_ms)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    int32_t rc = can_node_guard(si, FNDW, "can_home_ndw");
    if (rc != NO_ERROR)
        return rc;
    uint8_t home = 8;
    can_ndw_set_status(home, false);
    rc = can_write_ndw_control(si, 3);
    if (rc != NO_ERROR)
        return rc;
    int32_t t = 0;
    while ((home & 0x18) == 8) {
        if (t >= limit_ms) {
            u_log_sink("%s: timeout waiting for home search, time=%d ms\n", "can_home_ndw", static_cast<int>(t));
            return ERR_CAN_NDW_HOME_ERROR;
        }
        wait_step(100);
        if (polling) {
            uint8_t status = 0;
            rc = can_read_ndw_status(si, &status);
            if (rc != NO_ERROR)
                return rc;
            home = status & 0x18;
        } else {
            can_process_events(si);
            can_ndw_status(&home, nullptr);
        }
        t += 100;
    }
    if ((home & 0x18) == 0x10) {
        u_log_sink("%s: llcHomeStatus=%d\n", "can_home_ndw", static_cast<int>(home & 0x18));
        return ERR_CAN_NDW_HOME_ERROR;
    }
    if (!polling)
        can_ndw_set_status(home, true);
    while (t < limit_ms) {
        wait_step(100);
        bool moving = true;
        if (polling) {
            uint8_t status = 0;
            rc = can_read_ndw_status(si, &status);
            if (rc != NO_ERROR)
                return rc;
            moving = (status & 2) != 0;
        } else {
            can_process_events(si);
            can_ndw_status(nullptr, &moving);
        }
        t += 100;
        if (!moving)
            return NO_ERROR;
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
    if (!si->ringSpot || !can_avail(si)->canDdRsAvail || !sys_is(si, {SYS_MODEL17, SYS_MODEL24, SYS_MODEL26}))
        return NO_ERROR;
    uint8_t now = 255;
    int32_t rc = can_read_rs_position(si, &now);
    if (rc != NO_ERROR)
        return rc;
    if (now == position)
        return NO_ERROR;
    uint8_t mode = 0;
    rc = can_read_rs_keypress_mode(si, &mode);
    if (rc != NO_ERROR)
        return rc;
    bool changed = false;
    if (mode & 2) {
        rc = can_write_rs_keypress_mode(si, static_cast<uint8_t>(mode & ~2));
        if (rc != NO_ERROR)
            return rc;
        changed = true;
    }
    uint16_t maxCurrent = 0;
    rc = can_read_rs_maxCurrent(si, &maxCurrent);
    if (rc == NO_ERROR) {
        const int16_t current = static_cast<int16_t>(position == 1 ? -static_cast<int32_t>(maxCurrent) : maxCurrent);
        rc = can_write_rs_current(si, current);
    }
    if (rc == NO_ERROR && wait) {
        rc = ERR_RS_TIMEOUT;
        for (int i = 0; i < 500; ++i) {
            wait_step(250);
            uint8_t status = 0;
            int32_t r = can_read_rs_status(si, &status);
            if (r != NO_ERROR) {
                rc = r;
                break;
            }
            if ((status & 2) == 0) {
                rc = NO_ERROR;
                break;
            }
        }
    }
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
    auto toggle = [&](int32_t (*read)(SysInfo*, uint8_t*), int32_t (*write)(SysInfo*, uint8_t)) {
        uint8_t c = 0;
        int32_t rc = read(si, &c);
        if (rc != NO_ERROR)
            return rc;
        return write(si, static_cast<uint8_t>(on ? (c | 1) : (c & ~1)));
    };
    if (can_avail(si)->canDdZoomAvail) {
        int32_t rc = toggle(&can_read_zoom_dd_control, &can_write_zoom_dd_control);
        if (rc != NO_ERROR)
            return rc;
    }
    if (si->ringSpot && can_avail(si)->canDdRsAvail)
        return toggle(&can_read_rs_dd_control, &can_write_rs_dd_control);
    return NO_ERROR;
}

int32_t can_drive_aux_motor(SysInfo* si, bool forward)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    if (si->sysType != SYS_MODEL20)
        return NO_ERROR;
    int32_t rc = can_node_guard(si, CAN_NODE_ID_AUX_MOTOR, "can_drive_aux_motor");
    if (rc != NO_ERROR)
        return rc;
    rc = can_write_dmd_motor2_current(si, CAN_NODE_ID_AUX_MOTOR, static_cast<int16_t>(forward ? 500 : -500));
    if (rc != NO_ERROR)
        return subst(rc, ERR_CAN_AUX_MOTOR_ERROR);
    for (int i = 0; i < 21; ++i) {
        wait_step(250);
        uint8_t status = 0;
        rc = subst(can_read_dmd_motor2_status(si, CAN_NODE_ID_AUX_MOTOR, &status), ERR_CAN_SDO_AUX_MOTOR_ERROR);
        if (rc != NO_ERROR)
            return rc;
        if ((status & 2) == 0)
            return NO_ERROR;
    }
    return ERR_AV_TIMEOUT;
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
    int32_t rc = NO_ERROR;
    if (limit != 0)
        rc = can_write_llc_avgcurlmt(si, limit);
    if (rc == NO_ERROR && voltage != 0)
        rc = can_write_llc_fwdvlt(si, voltage);
    if (rc != NO_ERROR)
        u_log_sink("%s failed: %s\n", "can_set_llc_range", u_err_name(rc));
    return rc;
}

int32_t can_start_ramp(SysInfo* si, int32_t slot)
{
    BOARD_CHECK();
    rr_instr_ramps_t* set = rr_instr_ramps(si);
    if (set == nullptr || !set->haveSet)
        return ERR_NO_RAMP_INFO;
    if (slot < 0 || static_cast<std::size_t>(slot) >= set->ramps.size())
        return ERR_INVALID_RAMP_INDEX;
    const bool bridge = sys_is(si, {SYS_MODEL10, SYS_MODEL12, SYS_MODEL15, SYS_MODEL22, SYS_MODEL25, SYS_MODEL27});
    const bool pzt = sys_is(si, {SYS_MODEL17, SYS_MODEL19, SYS_MODEL20, SYS_MODEL23, SYS_MODEL29});
    if (!bridge && !pzt)
        return ERR_INTERNAL_RV;
    rr_ramp_t& ramp = set->ramps[static_cast<std::size_t>(slot)];
    const int32_t k = ramp.slot;
    int32_t rc = bridge ? can_write_ramp_select(si, k) : can_write_pztramp_select(si, k);
    if (rc != NO_ERROR)
        return rc;
    uint8_t valid = 0;
    rc = bridge ? can_read_ramp_valid(si, k, &valid) : can_read_pztramp_valid(si, k, &valid);
    if (rc != NO_ERROR)
        return rc;
    if (valid == 0)
        return ERR_INVALID_RAMP_INDEX;
    uint8_t status = 0;
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
