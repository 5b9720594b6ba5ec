// The ramp state of an instrument: the ramp set and the slot map, kept in the instrument record's
// run-time part.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/ramps/ramp_file.h"

constexpr int RR_MAX_RAMPS = 254;

struct rr_instr_ramps_t {
    bool haveSet = false;  // a ramp set has been built
    std::vector<rr_ramp_t> ramps;
    int32_t numPmiRamps = 0;
    bool fromConfig = false;  // the set came from a configuration file
    int32_t curRamp = -1;
    uint8_t slotMap[256];  // rampID held by each instrument slot, 255 for an empty slot
    int32_t wmRampAnswer[2] = {0, 0};  // the wave monitor's answer to the last tuning ramp request

    rr_instr_ramps_t();
    // Releases the set: every ramp's samples and the array; count, flags and slot map cleared.
    void clear();
};

// The ramp state of the instrument whose record is `si` (any record), created on first use; null
// only for a null record.
rr_instr_ramps_t* rr_instr_ramps(const sysInfo* si);

// ---------------------------------------------------------------------------------------------
// Computations over a ramp and the set; nothing here talks to the instrument.

// The time (s) from the first full camera frame after the trigger starts to the sample at which
// the ramp reaches its offset value, interpolated between samples, at a sample clock of
// `clock_khz`; stored in ramp->offsetCrossTime. ERR_NO_RAMP_INFO (no samples), ERR_INVALID_PARAM
// (not SWLI or BTW, a clock or camera rate not above 0), ERR_CORRUPT_RAMP_FILE (trigStartAddr
// outside the samples, or no crossing).
int32_t rr_calc_time_til_offset_crossing(rr_ramp_t* ramp, double clock_khz);
// offsetCrossTime x rampSlope x cameraRate / 1000 (um). ERR_NO_RAMP_INFO, ERR_INVALID_PARAM.
int32_t rr_get_offset_crossing_pos(const rr_ramp_t* ramp, double* um);

// 1 when the scan runs in the instrument's positive direction, else 2.
int32_t rr_direction_code(const sysInfo& si, const rr_ramp_hdr_t& hdr);
// The duration (ms, at least 1), default gain, sort key, direction code and offset crossing of
// a ramp of the set, as the set is built. Fails only where the offset crossing does.
int32_t rr_set_derived_values(const sysInfo& si, rr_ramp_t* ramp);
// Orders ramps by ascending sort key, NaN keys last, equal keys in their order.
void rr_sort_ramps(std::vector<rr_ramp_t>& ramps);

// Gives the ramp at index the smallest ID 0..254 no other ramp of the set carries.
// ERR_NO_RAMP_INFO, ERR_INVALID_RAMP_INDEX, ERR_PARAM_OUT_OF_RANGE (all taken).
int32_t rr_assign_ramp_id(const sysInfo* si, int32_t index);

// Whether the ramp at index fits the wanted acquisition (a value of 0, or -1 for rampMux and
// grabSkip, is not compared); otherwise false with the reason in *message (when given).
bool rr_check_ramp(const sysInfo* si, int32_t index, int32_t type, int32_t nBuckets, double scanLen,
                   int32_t rampMux, double cameraRate, int32_t grabSkip, std::string* message);
// The first index rr_check_ramp accepts, or -1.
int32_t rr_find_ramp(const sysInfo* si, int32_t type, int32_t nBuckets, double scanLen, int32_t rampMux,
                     double cameraRate, int32_t grabSkip);

// Whether the instrument's board and PIFOC hold external profile ramps (CAN board, PIFOC kind
// 1 or 2).
bool rr_ext_profiles_available(const sysInfo& si);
