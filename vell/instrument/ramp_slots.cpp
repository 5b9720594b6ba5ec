// The instrument's ramp slots: see ramp_slots.h. The set itself is built in ramp_info.cpp.
#include "vell/instrument/ramp_slots.h"

#include <cmath>

#include "vell/can/can_ops.h"
#include "vell/instrument/ramp_slots_internal.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/ramps/ramp_math.h"
#include "vell/ramps/ramp_set.h"
#include "vell/serial/board_ramps.h"
#include "vell/serial/wavemon.h"

namespace {

rr_model13_ramp_ops g_model13{};

constexpr uint32_t WAIT_POLL_MS = 50;
constexpr int32_t WAIT_POLLS_PER_S = 20;
constexpr int32_t MODEL13_GAIN_WAIT_S = 4;

int32_t failed(const char* op, int32_t rc)
{
    u_log_sink("%s failed: %s\n", op, u_err_name(rc));
    return rc;
}

int32_t invalid_board(const char* op, const sysInfo& si)
{
    u_log_sink("%s: invalid instrBdType %d\n", op, si.instrBdType);
    return ERR_WRONG_INSTR_BOARD;
}

// The serial board of the instrument, or the failure.
int32_t board_of(sysInfo* si, ur_board** out)
{
    *out = si != nullptr ? &ur_board_of(*si) : nullptr;
    return *out == nullptr ? ERR_SYS_INFO_NOT_AVAIL : NO_ERROR;
}

uint16_t clamp_u16(int32_t v) { return static_cast<uint16_t>(v < 0 ? 0 : v > 65535 ? 65535 : v); }

// Writes a ramp into an instrument slot.
int32_t write_slot(sysInfo* si, const rr_ramp_t& r, int32_t k)
{
    const rr_ramp_hdr_t& h = r.hdr;
    switch (si->instrBdType) {
    case BD_CAN:
        if (rr_pi_system(si->sysType)) {
            if (rr_ext_profiles_available(*si))
                return NO_ERROR;
            int32_t rc = can_write_ramp_data(si, k, r);
            if (rc == NO_ERROR)
                rc = can_write_ramp_trigger(si, k, h);
            return rc != NO_ERROR ? rc : can_write_ramp_rate(si, k, h.sampleClkFreq);
        }
        if (rr_pzt_node_system(si->sysType)) {
            const can_slot_state* st = can_state(si);
            if (st->rampMux != 0 && st->rampMux != 1)
                return ERR_INVALID_PARAM;
            int32_t rc = can_write_pztramp_data(si, k, r.samples.get(), h.nPoints);
            if (rc == NO_ERROR)
                rc = can_write_pztramp_trigger(si, k, h);
            return rc != NO_ERROR ? rc : can_write_pztramp_rate(si, k, h.sampleClkFreq);
        }
        return rr_no_ramp_node_system(si->sysType) ? NO_ERROR : ERR_INTERNAL_RV;
    case BD_MODEL13:
        if (g_model13.load == nullptr)
            return ERR_HW_FAIL;
        if (!r.samples || h.nPoints < 1)
            return ERR_INVALID_PARAM;
        return g_model13.load(k, r.samples.get(), h.nPoints, r.defaultGain, h.updateRate);
    case BD_BOARD01:
    case BD_HXI:
    case BD_MODEL31:
    case BD_FTP: {
        ur_board* b = nullptr;
        int32_t rc = board_of(si, &b);
        if (rc != NO_ERROR)
            return rc;
        if (!r.samples || h.nPoints < 1 || h.nPoints > 65535)
            return ERR_INVALID_PARAM;
        ur_ramp_load_args a;
        a.slot = static_cast<uint8_t>(k);
        a.rampID = static_cast<uint8_t>(h.rampID < 0 || h.rampID > 254 ? 255 : h.rampID);
        a.nPoints = static_cast<uint16_t>(h.nPoints);
        a.updateRate = clamp_u16(h.updateRate);
        a.trigStartAddr = clamp_u16(h.trigStartAddr);
        a.trigEndAddr = clamp_u16(h.trigEndAddr);
        a.gain = clamp_u16(r.defaultGain > 4095 ? 4095 : r.defaultGain);
        a.scanDir = h.scanDir != 0 ? 1 : 0;
        return ur_ramp_download(b, a, r.samples.get(), static_cast<std::size_t>(h.nPoints));
    }
    default:
        return ERR_INVALID_PARAM;
    }
}

// The slot a ramp to be loaded takes: the lowest empty one, else the one of the ramp started
// longest ago (before now; the first in set order on ties), which is evicted.
int32_t free_slot(rr_instr_ramps_t& set, int32_t slots, int32_t* k)
{
    for (int32_t i = 0; i < slots; ++i)
        if (set.slotMap[i] == 255) {
            *k = i;
            return NO_ERROR;
        }
    const int64_t now = u_wall_s();
    rr_ramp_t* victim = nullptr;
    for (rr_ramp_t& r : set.ramps)
        if (r.slot < slots && r.startStamp < now && (victim == nullptr || r.startStamp < victim->startStamp))
            victim = &r;
    if (victim == nullptr)
        return ERR_RAMP_LOAD;
    *k = victim->slot;
    set.slotMap[victim->slot] = 255;
    victim->slot = 255;
    return NO_ERROR;
}

int32_t load_ramp(sysInfo* si, int32_t index)
{
    rr_instr_ramps_t* set = nullptr;
    int32_t rc = rr_set_and_index(si, index, &set);
    if (rc != NO_ERROR)
        return rc;
    const int32_t slots = rr_get_max_num_instr_ramps(si);
    if (slots <= 0)
        return ERR_INVALID_PARAM;
    rr_ramp_t& r = set->ramps[static_cast<std::size_t>(index)];
    if (r.slot == 255) {
        int32_t k = 0;
        rc = free_slot(*set, slots, &k);
        if (rc == NO_ERROR)
            rc = write_slot(si, r, k);
        if (rc != NO_ERROR)
            return rc;
        r.slot = static_cast<uint8_t>(k);
        set->slotMap[k] = static_cast<uint8_t>(r.hdr.rampID);
        return NO_ERROR;
    }
    return can_check_pi_ramp(si, r);
}

// Whether the ramp has finished, by board.
int32_t ramp_done(sysInfo* si, bool* done)
{
    uint8_t status = 0;
    int32_t rc = NO_ERROR;
    switch (si->instrBdType) {
    case BD_CAN:
        if (rr_pi_system(si->sysType))
            rc = can_read_ramp_status(si, &status);
        else if (rr_pzt_node_system(si->sysType))
            rc = can_read_pztramp_status(si, &status);
        else
            return ERR_INTERNAL_RV;
        *done = status == 0;
        return rc;
    case BD_MODEL13:
        return g_model13.idle != nullptr ? g_model13.idle(done) : ERR_HW_FAIL;
    case BD_BOARD01:
    case BD_HXI:
    case BD_MODEL31:
    case BD_FTP: {
        ur_board* b = nullptr;
        rc = board_of(si, &b);
        return rc != NO_ERROR ? rc : ur_ramp_idle(b, done);
    }
    default:
        return invalid_board("rr_ramp_wait", *si);
    }
}

// ---- gain ----

int32_t gain_out_of_range(int32_t k, int32_t g, int32_t limit, int32_t gain, float t)
{
    u_log_sink("rr_setRampGain: g[%d]=%d is out of range [%d,%d]  gain=%d  t[%d]=%5.3f\n", k, g, 0, limit, gain, k,
               static_cast<double>(t));
    return ERR_PARAM_OUT_OF_RANGE;
}

// The three channel gains of a ramp: gain x rampTriple[k] x scale for PMI ramps, (gain, 0, 0)
// for the others.
int32_t channel_gains(const rr_ramp_t& r, int32_t gain, double scale, int32_t limit, int32_t g[3])
{
    const bool pmi = rr_is_pmi(r.hdr.rampType);
    for (int k = 0; k < 3; ++k) {
        g[k] = pmi ? rr_math::round_i32(gain * static_cast<double>(r.hdr.rampTriple[k]) * scale) : (k == 0 ? gain : 0);
        if (g[k] < 0 || g[k] > limit)
            return gain_out_of_range(k, g[k], limit, gain, r.hdr.rampTriple[k]);
    }
    return NO_ERROR;
}

int32_t serial_gain(sysInfo* si, const rr_ramp_t& r, int32_t gain)
{
    int32_t g[3] = {};
    int32_t rc = channel_gains(r, gain, 1.0, 4095, g);
    if (rc != NO_ERROR)
        return rc;
    const bool selected = r.hdr.rampMux == 1;
    const bool present = si->lapsPresent != 0;
    if (selected && !present) {
        u_log_sink("rr_setRampGain: large aperture not available\n");
        return ERR_INVALID_PARAM;
    }
    ur_board* b = nullptr;
    rc = board_of(si, &b);
    const int32_t on = selected ? 3 : 0;  // first channel of the amplifier that gets the gains
    for (int k = 0; k < 3 && rc == NO_ERROR; ++k)
        rc = ur_ramp_gain(b, on + k, g[k]);
    if (selected || present)
        for (int k = 0; k < 3 && rc == NO_ERROR; ++k)
            rc = ur_ramp_gain(b, 3 - on + k, 0);
    return rc;
}

int32_t can_gain(sysInfo* si, const rr_ramp_t& r, int32_t gain)
{
    if (!rr_is_pmi(r.hdr.rampType))
        return NO_ERROR;
    int32_t g[3] = {};
    int32_t rc = channel_gains(r, gain, 16384.0 / 4096.0, 16383, g);
    for (int k = 0; k < 3 && rc == NO_ERROR; ++k)
        rc = can_write_pztramp_gain(si, r.slot, k + 1, static_cast<uint16_t>(g[k]));
    return rc;
}

int32_t model13_gain(sysInfo* si, rr_ramp_t& r, int32_t gain)
{
    if (r.slot == 255) {
        u_log_sink("rr_setRampGain: ramp not loaded\n");
        return ERR_INVALID_PARAM;
    }
    if (gain == r.defaultGain)
        return NO_ERROR;
    if (gain < 0 || gain > 4095)
        return gain_out_of_range(0, gain, 4095, gain, r.hdr.rampTriple[0]);
    int32_t rc = rr_ramp_wait(si, MODEL13_GAIN_WAIT_S);
    if (rc != NO_ERROR)
        return rc;
    if (g_model13.load == nullptr || !r.samples)
        return g_model13.load == nullptr ? ERR_HW_FAIL : ERR_INVALID_PARAM;
    return g_model13.load(r.slot, r.samples.get(), r.hdr.nPoints, gain, r.hdr.updateRate);
}

int32_t tuning_gain(sysInfo* si, rr_instr_ramps_t& set, const rr_ramp_t& r, int32_t gain)
{
    const double range = gain * static_cast<double>(si->wmSysGain) * 1000000.0;
    const double scan_s = r.hdr.nBuckets / static_cast<double>(r.hdr.cameraRate);
    const double rate = scan_s > 0.0 && std::isfinite(scan_s) ? range / scan_s : (range > 0.0 ? INFINITY : 0.0);
    const wm_ramp_limits limits{si->wmTuneRange[0], si->wmTuneRate[0], si->wmTuneRate[1]};
    int32_t rc = wm_verify_ramp_in_limits("wm_verify_ramp_in_limits", range, rate, r.hdr.nBuckets, limits);
    if (rc != NO_ERROR)
        return rc;
    wm_device* wm = &wm_device_of(*si);
    int32_t answer[2] = {};
    rc = wm_ramp_request(&wm->link, rr_math::trunc_i32(range / 1000000.0), r.hdr.nBuckets, answer);
    if (rc == NO_ERROR) {
        set.wmRampAnswer[0] = answer[0];
        set.wmRampAnswer[1] = answer[1];
    }
    return rc;
}

bool tuned_laser(const sysInfo& si)
{
    if (si.instrBdType == BD_CAN)
        return si.sysType == SYS_MODEL24 || si.sysType == SYS_MODEL26 || si.sysType == SYS_MODEL28;
    return si.sysType == SYS_MODEL34 || si.sysType == SYS_MODEL21;
}

}  // namespace

bool rr_pi_system(int32_t sys)
{
    return sys == SYS_MODEL10 || sys == SYS_MODEL12 || sys == SYS_MODEL15 || sys == SYS_MODEL22 ||
           sys == SYS_MODEL25 || sys == SYS_MODEL27;
}

bool rr_pzt_node_system(int32_t sys)
{
    return sys == SYS_MODEL17 || sys == SYS_MODEL19 || sys == SYS_MODEL20 || sys == SYS_MODEL23 || sys == SYS_MODEL29;
}

bool rr_no_ramp_node_system(int32_t sys)
{
    return sys == SYS_MODEL34 || sys == SYS_MODEL21 || sys == SYS_MODEL24 || sys == SYS_MODEL26 || sys == SYS_MODEL28;
}

bool rr_serial_board(int32_t bd) { return bd == BD_BOARD01 || bd == BD_HXI || bd == BD_MODEL31 || bd == BD_FTP; }

int32_t rr_set_and_index(sysInfo* si, int32_t index, rr_instr_ramps_t** set)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    *set = rr_instr_ramps(si);
    if (*set == nullptr || !(*set)->haveSet)
        return ERR_NO_RAMP_INFO;
    if (index < 0 || static_cast<std::size_t>(index) >= (*set)->ramps.size())
        return ERR_INVALID_RAMP_INDEX;
    return NO_ERROR;
}

void rr_set_model13_ramp_ops(const rr_model13_ramp_ops* ops) { g_model13 = ops != nullptr ? *ops : rr_model13_ramp_ops{}; }

int32_t rr_load_ramp(sysInfo* si, int32_t index)
{
    const int32_t rc = load_ramp(si, index);
    return rc != NO_ERROR ? failed("rr_load_ramp", rc) : rc;
}

int32_t rr_ramp_delete(sysInfo* si, int32_t slot)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    if (!rr_serial_board(si->instrBdType))
        return NO_ERROR;
    if (slot < 0 || slot > 254)
        return ERR_PARAM_OUT_OF_RANGE;
    ur_board* b = nullptr;
    const int32_t rc = board_of(si, &b);
    return rc != NO_ERROR ? rc : ur_ramp_delete(b, static_cast<uint8_t>(slot));
}

int32_t rr_ramp_start_slot(sysInfo* si, int32_t slot)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    if (slot < 0 || slot > 254)
        return failed("rr_ramp_start_slot", ERR_PARAM_OUT_OF_RANGE);
    int32_t rc = NO_ERROR;
    switch (si->instrBdType) {
    case BD_BOARD01:
    case BD_HXI:
    case BD_MODEL31:
    case BD_FTP: {
        ur_board* b = nullptr;
        rc = board_of(si, &b);
        if (rc == NO_ERROR)
            rc = ur_ramp_start(b, static_cast<uint8_t>(slot));
        break;
    }
    case BD_MODEL13:
        rc = g_model13.start != nullptr ? g_model13.start(slot) : ERR_HW_FAIL;
        break;
    case BD_CAN: {
        const rr_instr_ramps_t* set = rr_instr_ramps(si);
        int32_t index = -1;
        for (std::size_t i = 0; set != nullptr && i < set->ramps.size() && index < 0; ++i)
            if (set->ramps[i].slot == slot)
                index = static_cast<int32_t>(i);
        // No ramp holds the slot: nothing to start, and nothing goes on the bus.
        rc = index < 0 ? ERR_PARAM_OUT_OF_RANGE : can_start_ramp(si, index);
        if (rc == NO_ERROR)
            sysinfo_set_camera_rate(*si, set->ramps[static_cast<std::size_t>(index)].hdr.cameraRate);
        break;
    }
    default:
        return invalid_board("rr_ramp_start_slot", *si);
    }
    return rc != NO_ERROR ? failed("rr_ramp_start_slot", rc) : rc;
}

int32_t rr_ramp_start_index(sysInfo* si, int32_t index)
{
    rr_instr_ramps_t* set = nullptr;
    int32_t rc = rr_set_and_index(si, index, &set);
    if (rc != NO_ERROR)
        return failed("rr_ramp_start_index", rc);
    const rr_ramp_t& ramp = set->ramps[static_cast<std::size_t>(index)];
    if (si->instrBdType == BD_CAN) {
        rc = can_start_ramp(si, index);
    } else {
        if (ramp.slot == 255)
            return failed("rr_ramp_start_index", ERR_PARAM_OUT_OF_RANGE);
        rc = rr_ramp_start_slot(si, ramp.slot);
    }
    if (rc != NO_ERROR)
        return si->instrBdType == BD_CAN ? failed("rr_ramp_start_index", rc) : rc;
    // The camera runs at the rate the started ramp was made for.
    sysinfo_set_camera_rate(*si, ramp.hdr.cameraRate);
    return NO_ERROR;
}

int32_t rr_ramp_wait(sysInfo* si, int32_t seconds)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    const int32_t polls = seconds > 0 ? (seconds > INT32_MAX / WAIT_POLLS_PER_S ? INT32_MAX : seconds * WAIT_POLLS_PER_S) : 1;
    for (int32_t i = 0; i < polls; ++i) {
        bool done = false;
        const int32_t rc = ramp_done(si, &done);
        if (rc != NO_ERROR)
            return rc;
        if (done)
            return NO_ERROR;
        u_sleep_ms(WAIT_POLL_MS);
    }
    if (rr_serial_board(si->instrBdType)) {
        ur_board* b = nullptr;
        if (board_of(si, &b) == NO_ERROR)
            ur_write_io(b, UR_RAMP_ABORT_IO_ADDR, UR_RAMP_ABORT_IO_VALUE);
    }
    return failed("rr_ramp_wait", ERR_RAMP_WAIT_TIMEOUT);
}

int32_t wm_verify_ramp_in_limits(const char* name, double range, double rate, int32_t nBuckets,
                                 const wm_ramp_limits& limits)
{
    if (range > limits.maxRange + 0.001) {
        u_log_sink("%s: req_range = %g too large\n", name, range);
        return ERR_WM_TUNE_RANGE_TOO_LARGE;
    }
    if (rate > limits.maxRate + 0.001) {
        u_log_sink("%s: req_rate = %g too fast\n", name, rate);
        return ERR_WM_TUNE_RANGE_TOO_LARGE;
    }
    if (nBuckets > WM_MAX_RAMP_BUCKETS) {
        u_log_sink("%s: req_buckets = %d is too big\n", name, nBuckets);
        return ERR_WM_NUM_BUCKETS_TOO_LARGE;
    }
    if (!(rate >= limits.minRate + 0.001)) {
        u_log_sink("%s: req_rate = %g is too slow\n", name, rate);
        return ERR_WM_TUNE_RATE_TOO_SLOW;
    }
    return NO_ERROR;
}

int32_t rr_setRampGain(sysInfo* si, int32_t gain)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    rr_instr_ramps_t* set = rr_instr_ramps(si);
    if (set == nullptr || !set->haveSet || set->curRamp < 0 || static_cast<std::size_t>(set->curRamp) >= set->ramps.size())
        return ERR_NO_RAMP_INFO;
    const int32_t bd = si->instrBdType;
    if (bd < BD_BOARD01 || bd > BD_CAN || bd == BD_BOARD02 || bd == BD_BOARD04) {
        u_log_sink("rr_setRampGain: invalid instrBdType %d\n", bd);
        return ERR_WRONG_INSTR_BOARD;
    }
    rr_ramp_t& r = set->ramps[static_cast<std::size_t>(set->curRamp)];
    int32_t rc = NO_ERROR;
    if (bd == BD_MODEL13)
        rc = model13_gain(si, r, gain);
    else if (tuned_laser(*si))
        rc = tuning_gain(si, *set, r, gain);
    else if (bd == BD_CAN)
        rc = can_gain(si, r, gain);
    else
        rc = serial_gain(si, r, gain);
    if (rc == NO_ERROR)
        r.defaultGain = gain;
    return rc;
}

int32_t rr_adjust_ramp_slope(sysInfo* si, int32_t index, double factor)
{
    rr_instr_ramps_t* set = nullptr;
    int32_t rc = rr_set_and_index(si, index, &set);
    if (rc != NO_ERROR)
        return rc == ERR_INVALID_RAMP_INDEX ? ERR_NO_RAMP_INFO : rc;
    rr_ramp_t& r = set->ramps[static_cast<std::size_t>(index)];
    rr_ramp_hdr_t& h = r.hdr;
    if (rr_is_pmi(h.rampType)) {
        u_log_sink("rr_adjust_ramp_slope: ramp must be type SWLI or BTW\n");
        return ERR_INVALID_PARAM;
    }
    if (!(factor > 0.0) || !std::isfinite(factor))
        return ERR_INVALID_PARAM;
    h.rampSlope = static_cast<float>(h.rampSlope * factor);
    h.sampleClkFreq = static_cast<float>(h.sampleClkFreq * factor);
    h.updateRate = rr_math::round_i32(65536.0 - 4000.0 / h.sampleClkFreq);
    const double clock = 4000.0 / (65536.0 - h.updateRate);
    h.nBuckets = rr_math::trunc_i32(h.cameraRate / (h.grabSkip + 1.0) *
                                    (static_cast<double>(h.trigEndAddr) - h.trigStartAddr) / (clock * 1000.0));
    if (r.slot == 255)
        return NO_ERROR;
    const uint8_t slot = r.slot;
    if ((si->instrBdType == BD_BOARD01 || si->instrBdType == BD_FTP) && si->instrBdSwVersion > 11) {
        ur_board* b = nullptr;
        rc = board_of(si, &b);
        return rc != NO_ERROR ? rc : ur_ramp_update_rate(b, slot, clamp_u16(h.updateRate));
    }
    // Every other board plays the ramp at its old rate until it is loaded again.
    rc = rr_ramp_delete(si, slot);
    r.slot = 255;
    set->slotMap[slot] = 255;
    return rc;
}
