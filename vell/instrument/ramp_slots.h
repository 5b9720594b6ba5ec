// The instrument's ramp set and ramp slots: building the set from the ramp configuration file
// or the ramp directory, loading ramps into the instrument's slots (evicting the oldest when
// they are full), deleting, starting and awaiting them, their gain and slope.
//
// The slots are reached through the instrument's board: the board link's ramp commands on
// board types 1, 3, 6 and 7 (serial/board_ramps.h, the link of the instrument's slot), the
// bridge ramp node or the PZT ramp node on the CAN board (8), and on board type 5 the host's
// ramp operations (rr_set_model13_ramp_ops). Tuned-laser systems set their gain through the
// wave monitor of the instrument's slot.
//
// Every operation returns a platform error code and writes its failure through u_log_sink.
#pragma once

#include <cstdint>

#include "vell/calfile/sysinfo.h"

// Builds the ramp set. The environment variable KEEP_RAMPS_LOADED_IN_INSTR keeps the ramps
// the instrument already holds.
int32_t rr_get_ramp_info(sysInfo* si);

int32_t rr_load_ramp(sysInfo* si, int32_t index);
int32_t rr_ramp_delete(sysInfo* si, int32_t slot);
int32_t rr_ramp_start_slot(sysInfo* si, int32_t slot);
int32_t rr_ramp_start_index(sysInfo* si, int32_t index);
int32_t rr_ramp_wait(sysInfo* si, int32_t seconds);
int32_t rr_setRampGain(sysInfo* si, int32_t gain);
int32_t rr_adjust_ramp_slope(sysInfo* si, int32_t index, double factor);

// The wave monitor's limits of a tuning ramp: range and rate against their maxima (a limit
// not set is none), the bucket count, the rate against the minimum. `name` heads the messages.
struct wm_ramp_limits {
    double maxRange;
    double maxRate;
    double minRate;
};
int32_t wm_verify_ramp_in_limits(const char* name, double range, double rate, int32_t nBuckets,
                                 const wm_ramp_limits& limits);
constexpr int32_t WM_MAX_RAMP_BUCKETS = 3800;

// The ramp memory of board type 5, reached through the host (null entries: ERR_HW_FAIL).
struct rr_model13_ramp_ops {
    int32_t (*load)(int32_t slot, const uint16_t* samples, int32_t nPoints, int32_t gain, int32_t updateRate);
    int32_t (*start)(int32_t slot);
    int32_t (*idle)(bool* idle);
};
// Installs the host's operations (copied); null removes them.
void rr_set_model13_ramp_ops(const rr_model13_ramp_ops* ops);
