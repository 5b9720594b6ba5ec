// The node operation catalogue: every instrument function behind the CAN bridge as one small
// operation that reads or writes one object-dictionary entry of one node, and the composite
// procedures built from them (ND wheel homing and light level, ring/spot selection, diffuser
// disks, auxiliary motor, light range, ramp start, PIFOC offset wait).
//
// Every operation takes the instrument's sysInfo record first (hxi_enc_zoom_set_soft_limits
// excepted) and returns a platform error code; values travel little-endian; a failed read
// leaves its out-parameter alone. A null record gives ERR_SYS_INFO_NOT_AVAIL; operations that
// need the record's canInfo, PifocInfo or HxiZoomInfo sub-record give ERR_HW_FAIL without it.
#pragma once

#include <cstdint>

#include "vell/can/can_state.h"

struct SysInfo;
struct rr_ramp_hdr_t;
struct rr_ramp_t;

// While the automatic gain thread runs, the ND wheel light-level write does not count as
// activity for the sleep-mode service. The gain service installs its running query here.
using can_agc_running_fn = bool (*)();
void can_set_agc_running_query(can_agc_running_fn fn);

// ---- Family 1: multi-node motor driver (abort ERR_CAN_SDO_DMD_ERROR; board not CAN:
// ERR_INVALID_PARAM) ----
int32_t can_read_dmd_motor1_control(SysInfo* si, uint8_t node, uint8_t* value);
int32_t can_write_dmd_motor1_control(SysInfo* si, uint8_t node, uint8_t value);
int32_t can_write_dmd_motor1_mode(SysInfo* si, uint8_t node, int32_t mode);          // 0..4
int32_t can_write_dmd_motor1_targetVel(SysInfo* si, uint8_t node, float velocity);  // 10..10000
int32_t can_write_dmd_motor2_control(SysInfo* si, uint8_t node, uint8_t value);
int32_t can_read_dmd_motor2_status(SysInfo* si, uint8_t node, uint8_t* value);
int32_t can_read_dmd_motor2_llcLevel(SysInfo* si, uint8_t node, uint16_t* level, bool invert);
int32_t can_write_dmd_motor2_llcLevel(SysInfo* si, uint8_t node, uint16_t level, bool invert);
int32_t can_read_dmd_motor2_maxCurrent(SysInfo* si, uint8_t node, uint16_t* value);
int32_t can_write_dmd_motor2_current(SysInfo* si, uint8_t node, int16_t current);
int32_t can_read_dmd_motor2_position(SysInfo* si, uint8_t node, uint8_t* value);
int32_t can_read_dmd_keypress_mode(SysInfo* si, uint8_t node, uint8_t* mode);
int32_t can_write_dmd_keypress_mode(SysInfo* si, uint8_t node, uint8_t mode);

// ---- Family 2: per-node wrappers (guard, then family 1 with the node's abort code) ----
int32_t can_read_rs_dd_control(SysInfo* si, uint8_t* value);
int32_t can_write_rs_dd_control(SysInfo* si, uint8_t value);
int32_t can_write_rs_dd_mode(SysInfo* si, int32_t mode);
int32_t can_read_rs_status(SysInfo* si, uint8_t* value);
int32_t can_write_rs_current(SysInfo* si, int16_t current);
int32_t can_read_rs_maxCurrent(SysInfo* si, uint16_t* value);
// Position 0 (ring) or 1 (spot); 255 for any other value and for a missing node.
int32_t can_read_rs_position(SysInfo* si, uint8_t* position);
int32_t can_read_rs_keypress_mode(SysInfo* si, uint8_t* mode);
int32_t can_write_rs_keypress_mode(SysInfo* si, uint8_t mode);
int32_t can_read_zoom_dd_control(SysInfo* si, uint8_t* value);
int32_t can_write_zoom_dd_control(SysInfo* si, uint8_t value);
int32_t can_write_zoom_dd_mode(SysInfo* si, int32_t mode);
int32_t can_write_zoom_dd_targetVel(SysInfo* si, float velocity);
int32_t can_read_zoom_keypress_mode(SysInfo* si, uint8_t* mode);
int32_t can_write_zoom_keypress_mode(SysInfo* si, uint8_t mode);
int32_t can_write_ndw_control(SysInfo* si, uint8_t value);
int32_t can_read_ndw_status(SysInfo* si, uint8_t* value);
int32_t can_read_ndw_llcLevel(SysInfo* si, uint16_t* level, bool invert);
// Runs the event pump, resets "CAN_NDWHEEL_STOPPED" (when some thread has created it), writes
// the level and signals the event again when the write failed.
int32_t can_write_ndw_llcLevel(SysInfo* si, uint16_t level, bool invert);
int32_t can_read_focus_keypress_mode(SysInfo* si, uint8_t* mode);
int32_t can_write_focus_keypress_mode(SysInfo* si, uint8_t mode);

// ---- Family 3: bridge node 127 (board not CAN: ERR_WRONG_INSTR_BOARD) ----
int32_t can_read_bridge_status(SysInfo* si, uint8_t* status);
int32_t can_bridge_read_config(SysInfo* si, uint16_t* config);
int32_t can_bridge_write_config(SysInfo* si, uint16_t config);
int32_t can_write_fg_trigger(SysInfo* si, uint16_t value);
int32_t can_bridge_read_digitalout(SysInfo* si, uint8_t* value);
int32_t can_bridge_write_digitalout(SysInfo* si, uint8_t value);
int32_t can_set_align_illumination_diode(SysInfo* si, bool on);
int32_t can_write_syncgen(SysInfo* si);
int32_t can_ramp_start(SysInfo* si);
int32_t can_read_ramp_status(SysInfo* si, uint8_t* status);
int32_t can_write_ramp_select(SysInfo* si, int32_t slot);
int32_t can_read_ramp_valid(SysInfo* si, int32_t k, uint8_t* valid);
int32_t can_write_ramp_trigger(SysInfo* si, int32_t k, const rr_ramp_hdr_t& hdr);
int32_t can_write_ramp_rate(SysInfo* si, int32_t k, float sampleClkKHz);  // 0..200 kHz
// 16384 samples: a shorter ramp is padded with its last sample, a longer one refused.
int32_t can_write_ramp_data(SysInfo* si, int32_t k, const rr_ramp_t& ramp);
// Written with or without a PIFOC record; the time of the write is kept only with one.
int32_t can_write_pifoc_offset(SysInfo* si, uint32_t offset, bool waitForRamp);
int32_t can_pi_ramp_start(SysInfo* si);
int32_t can_write_pi_ramp_select(SysInfo* si, int32_t ramp);
int32_t can_read_pi_ramp_status(SysInfo* si, uint8_t* status);  // 3 busy, 0 idle
int32_t can_read_pi_ramp_amplitude(SysInfo* si, float* amplitude);
int32_t can_read_pi_ramp_velocity(SysInfo* si, float* velocity);
int32_t can_read_pi_serial_integer(SysInfo* si, uint8_t sub, uint16_t* value);
int32_t can_pi_load_ddl_tables(SysInfo* si, int32_t* tables);
// The PI controller's profile of a ramp that has not been started yet (no start stamp) must be
// the ramp's (rr_check_pi_profile) when the scanner holds external profiles and the bridge
// firmware is above 6 (major) and 2 (minor): selects the ramp's slot, reads amplitude and
// velocity and compares; otherwise 0 without a bus access.
int32_t can_check_pi_ramp(SysInfo* si, const rr_ramp_t& ramp);

// ---- Family 4: PZT ramp node (62 or 52 by rampMux) ----
int32_t can_pztramp_start(SysInfo* si);
int32_t can_read_pztramp_status(SysInfo* si, uint8_t* status);
int32_t can_write_pztramp_select(SysInfo* si, int32_t slot);
int32_t can_read_pztramp_valid(SysInfo* si, int32_t k, uint8_t* valid);
int32_t can_write_pztramp_trigger(SysInfo* si, int32_t k, const rr_ramp_hdr_t& hdr);
int32_t can_write_pztramp_rate(SysInfo* si, int32_t k, float sampleClkKHz);
int32_t can_write_pztramp_data(SysInfo* si, int32_t k, const uint16_t* samples, int32_t n);  // 1..16384
int32_t can_write_pztramp_gain(SysInfo* si, int32_t k, int32_t kind, uint16_t gain);  // kind 1..3
int32_t can_read_pztramp_errchk(SysInfo* si, uint8_t* faults);  // top byte of 0x1002

// ---- Family 5: LED node 61 ----
int32_t can_write_led_setup(SysInfo* si, uint8_t setup);
int32_t can_write_llc(SysInfo* si, uint16_t level, bool invert);
int32_t can_read_llc(SysInfo* si, uint16_t* level, bool invert);
int32_t can_write_llc_avgcurlmt(SysInfo* si, uint32_t limit);   // <= 1000
int32_t can_write_llc_fwdvlt(SysInfo* si, uint32_t voltage);    // <= 10000
int32_t can_write_llc_pwmfreq(SysInfo* si, uint32_t frequency); // <= 1000000

// ---- Family 6: dual brush motor node 63 ----
int32_t can_read_turret(SysInfo* si, uint8_t* position);
int32_t can_read_turret_status(SysInfo* si, uint8_t* status);
int32_t can_read_zoom(SysInfo* si, int32_t* position);
int32_t can_read_all_zoom(SysInfo* si);
int32_t can_get_brmtr_config(SysInfo* si);

// ---- Family 7: HXI encoded zoom on node 64 ----
int32_t hxi_enc_zoom_set_soft_limits(int32_t low, int32_t high);
int32_t hxi_enc_zoom_set_motion_mode(SysInfo* si);
int32_t hxi_enc_zoom_set_backlash(SysInfo* si);

// ---- Composites ----
int32_t can_home_ndw(SysInfo* si, bool polling, int32_t limit_ms);
int32_t can_set_ring_spot(SysInfo* si, int32_t position, bool wait);
// Both disks are tried even when the first fails; the first failure is returned.
int32_t can_set_diffuser_disks(SysInfo* si, bool on);
int32_t can_drive_aux_motor(SysInfo* si, bool forward);
int32_t can_set_llc_range(SysInfo* si, int32_t selector);
int32_t can_start_ramp(SysInfo* si, int32_t slot);

// The frame number at which a ramp's linear scan starts:
// trigStartAddr * cameraRate / (sampleClkFreq * 1000) + 0.5, truncated. False (nothing stored)
// when the sample clock is not above 0, a value is not finite or the result does not fit.
bool can_ramp_frame_number(const rr_ramp_hdr_t& hdr, int32_t* frame);
