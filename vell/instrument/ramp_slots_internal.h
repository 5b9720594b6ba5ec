// Shared by the ramp set and ramp slot sources of this folder.
#pragma once

#include <cstdint>

#include "vell/calfile/sysinfo.h"
#include "vell/ramps/ramp_set.h"

// CAN systems by their ramp node: the bridge ramp node with the digital PI controller, the PZT
// ramp node, none.
bool rr_pi_system(int32_t sys);
bool rr_pzt_node_system(int32_t sys);
bool rr_no_ramp_node_system(int32_t sys);
// Board types 1, 3, 6 and 7.
bool rr_serial_board(int32_t bd);
// The record's ramp set with index inside it: ERR_SYS_INFO_NOT_AVAIL, ERR_NO_RAMP_INFO,
// ERR_INVALID_RAMP_INDEX.
int32_t rr_set_and_index(sysInfo* si, int32_t index, rr_instr_ramps_t** set);
