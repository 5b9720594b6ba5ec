// Light-level control above the boards.
//
// The current light slot of the instrument's record (range, target, mode, current and
// previous level) is the state: levels are clamped to the slot's range, converted to and from
// percentages (0 percent is the top of the range, 100 percent the bottom), sent to the board
// of the instrument and awaited until the light has settled.
//
// The per-board work is one table of operations by instrument board type. A row's entry that
// is null means the board has no such operation. The serial boards go through the board link
// of the record's slot, the CAN systems through the LED node, the ND wheel node and the gain
// thread.
//
// The LLC instrument, the motion controller's light output and the camera shutter belong to
// other subsystems: a host installs one set and one read for each (ac_llc_set_host).
#pragma once

#include <cstddef>
#include <cstdint>

struct SysInfo;

// ---------------------------------------------------------------------------------------------
// Operations. All return an error code; a null record gives ERR_INVALID_PARAM.

int32_t ac_llc_set_level(SysInfo* info, int32_t level);
int32_t ac_llc_read_level(SysInfo* info, uint16_t* level);
int32_t ac_llc_get_level(SysInfo* info, uint16_t* level);
int32_t ac_llc_restore_level(SysInfo* info);
int32_t ac_llc_set_percent(SysInfo* info, float percent, bool absolute);
// ERR_PARAM_OUT_OF_RANGE (and 0) when the range's high is not above its low.
int32_t ac_llc_get_percent(SysInfo* info, float* percent);
int32_t ac_llc_set_level_wait(SysInfo* info, int32_t level);
// Mode 0 manual, 1 and 2 automatic; anything else ERR_INVALID_PARAM on every board.
int32_t ac_llc_mode(SysInfo* info, int32_t mode);
int32_t ac_llc_wait(SysInfo* info);
int32_t ac_llc_read_level_mode(SysInfo* info, uint16_t* level, int32_t* value);
// ERR_PARAM_OUT_OF_RANGE (and 0) when the range's high is not above its low.
int32_t ac_llc_percent_step(SysInfo* info, float* step);

// Maps a value of the physical range a..b onto the level range (b <= a gives the range's low),
// and a level back onto a..b (an empty level range gives a).
uint16_t ac_llc_level_from_value(const SysInfo& info, double value, double lowest, double highest);
double ac_llc_value_from_level(const SysInfo& info, int32_t level, double lowest, double highest);

// ---------------------------------------------------------------------------------------------
// Serial board encodings, for the board link's LLC commands. The payload is the command's
// data bytes after the command code. Each returns the number of bytes written into out (at
// most 3), or 0 for a board without that command.
std::size_t ac_llc_encode_set(int32_t board, uint16_t level, uint8_t out[3]);
std::size_t ac_llc_encode_mode_set(int32_t board, int32_t mode, uint16_t level, uint8_t out[3]);
// Decodes the answer's data bytes of the read command: false when the board has no such read
// or the answer is too short. A 16-bit value above the board's limit decodes to 0.
bool ac_llc_decode_read(int32_t board, const uint8_t* answer, std::size_t length, uint16_t* level);
// The highest level a board accepts (65535 where the board sets none).
uint16_t ac_llc_board_limit(const SysInfo& info);

// ---------------------------------------------------------------------------------------------
// Host devices. Each entry returns 0 on success; a failure or a missing entry gives
// ERR_HW_FAIL to the caller.
struct ac_llc_host_ops {
    int32_t (*llc_instr_set)(int32_t level);
    int32_t (*llc_instr_read)(int32_t* level);
    int32_t (*mc_light_set)(int32_t value);
    int32_t (*mc_light_read)(int32_t* value);
    int32_t (*shutter_set)(double shutter);
    int32_t (*shutter_read)(double* shutter);
};
// Installs the host's devices (copied); null removes them.
void ac_llc_set_host(const ac_llc_host_ops* host);

// ---------------------------------------------------------------------------------------------
// The board table.
struct ac_llc_board_ops {
    // Sends an already clamped level; reads the level back (decoded).
    int32_t (*set)(SysInfo& info, uint16_t level);
    int32_t (*read)(SysInfo& info, uint16_t* level);
    // The board's mode command and mode read (null: the board has none).
    int32_t (*mode_set)(SysInfo& info, int32_t mode, uint16_t level);
    int32_t (*mode_read)(SysInfo& info, int32_t* value);
    // Whether the board reports the light settled (null: never settles).
    int32_t (*stable)(SysInfo& info, bool* settled);
    // The automatic gain control thread, where it applies.
    int32_t (*agc_stop)(SysInfo& info);
    int32_t (*agc_start)(SysInfo& info, int32_t value);
    int32_t (*agc_value)(SysInfo& info, int32_t* value);
};

constexpr int32_t AC_LLC_NUM_BOARDS = 10;

// The row of a board type (0..9), or null outside the table.
const ac_llc_board_ops* ac_llc_board(int32_t board);
// Replaces a board's row (when its operations become available, or in tests); false outside
// the table. ac_llc_reset_boards restores the built-in rows.
bool ac_llc_set_board(int32_t board, const ac_llc_board_ops& ops);
void ac_llc_reset_boards();

// Whether automatic gain control applies (CAN board, systems Model17, Model19, Model20,
// Model24, Model26, Model28, with the focus and ND wheel present).
bool ac_llc_agc_applies(const SysInfo& info);
