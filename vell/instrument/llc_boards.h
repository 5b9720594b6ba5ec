// The board rows of the light-level table (llc.h) that reach a board: the serial boards through
// the instrument board link, the CAN systems through the LED node, the ND wheel node and the
// gain thread. Each operation takes a level already clamped and checked against the board's
// limit, and returns an error code.
#pragma once

#include <cstdint>

struct SysInfo;

// Serial boards (Board01, HXI, Model31, FTP). The link is the board link of the record's slot;
// a record that is not one of the four slots gives ERR_SYS_INFO_NOT_AVAIL, a link brought up for
// another board type ERR_WRONG_INSTR_BOARD, a board type without the command
// ERR_WRONG_INSTR_BOARD; otherwise the link's own codes.
int32_t ac_llc_serial_set(SysInfo& info, uint16_t level);
int32_t ac_llc_serial_read(SysInfo& info, uint16_t* level);
int32_t ac_llc_serial_mode_set(SysInfo& info, int32_t mode, uint16_t level);
int32_t ac_llc_serial_mode_read(SysInfo& info, int32_t* value);
int32_t ac_llc_serial_stable(SysInfo& info, bool* settled);

// CAN systems: the ND wheel (systems with automatic control and the wheel), nothing (those
// systems without it; reads 0), else the LED node; the level inverted on both nodes.
int32_t ac_llc_can_set(SysInfo& info, uint16_t level);
int32_t ac_llc_can_read(SysInfo& info, uint16_t* level);
// The gain thread: stopped as for an instrument failure, started with a value, its value.
int32_t ac_llc_can_agc_stop(SysInfo& info);
int32_t ac_llc_can_agc_start(SysInfo& info, int32_t value);
int32_t ac_llc_can_agc_value(SysInfo& info, int32_t* value);

// Systems Model17, Model19, Model20, Model24, Model26 and Model28: the CAN systems with automatic
// control and the ND wheel wait.
bool ac_llc_agc_system(int32_t sysType);
