// The ramp commands of the instrument board link (board types 1, 3, 6 and 7): the board's ramp
// memory holds one ramp per slot, downloaded as a header (RAMP_LOAD), blocks of samples
// (RAMP_DATA) and an end mark (RAMP_COMPLETE), and started, deleted, polled and listed by slot.
//
// Argument bytes, wider values big-endian:
// - RAMP_LOAD (13 bytes): slot, rampID, nPoints (16), updateRate (16), trigStartAddr (16),
//   trigEndAddr (16), default gain (16), scan direction (0 or 1).
// - RAMP_DATA: the 16-bit word count, then the words; sent as a whole frame whose byte 0 is the
//   command's fixed length 4, with the checksum over everything after byte 0.
// - RAMP_DELETE, RAMP_START: the slot. RAMP_IDLE answers 1 when no ramp runs.
// - RAMP_REQUEST answers the rampID held by each slot (255: empty), one byte per slot: 12 on
//   board types 1 and 7, 4 on board types 3 and 6.
// - RAMP_UPDATERATE (boards 1 and 7): slot, updateRate (16).
// - RAMP_DAC: one PZT amplifier channel's gain, (channel << 12) | gain with gain 0..4095;
//   channels 0..2 the normal amplifier, 3..5 the large-aperture amplifier.
// - WRITE_IO: address (16), value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vell/serial/board.h"

// Most samples in one RAMP_DATA frame.
constexpr int32_t UR_RAMP_BLOCK_WORDS = 512;
// Address and value of the I/O write that stops a ramp that did not finish in time.
constexpr uint16_t UR_RAMP_ABORT_IO_ADDR = 4240;
constexpr uint8_t UR_RAMP_ABORT_IO_VALUE = 255;

// The code of a command of the board's vocabulary by its name ("RAMP_LOAD"), -1 when the board
// has none.
int32_t ur_cmd_code(int32_t board_type, const char* name);

// Number of ramp slots the board reports in its RAMP_REQUEST answer (0: no such command).
std::size_t ur_ramp_table_size(int32_t board_type);

struct ur_ramp_load_args {
    uint8_t slot = 0;
    uint8_t rampID = 0;
    uint16_t nPoints = 0;
    uint16_t updateRate = 0;
    uint16_t trigStartAddr = 0;
    uint16_t trigEndAddr = 0;
    uint16_t gain = 0;
    uint8_t scanDir = 0;
};

// Downloads a ramp into a slot: the header, ceil(n / 512) blocks, the end mark. A block that
// fails with ERR_UZ_RECV_FAILED is sent once more (never after a send failure or a time-out);
// any failure after the header deletes the slot again. ERR_INVALID_PARAM (no samples, n not
// args.nPoints) with nothing sent.
int32_t ur_ramp_download(ur_board* board, const ur_ramp_load_args& args, const uint16_t* samples, std::size_t n);
int32_t ur_ramp_delete(ur_board* board, uint8_t slot);
int32_t ur_ramp_start(ur_board* board, uint8_t slot);
int32_t ur_ramp_idle(ur_board* board, bool* idle);
// The board's table of loaded rampIDs into ids (capacity entries); *count the slots reported.
int32_t ur_ramp_request(ur_board* board, uint8_t* ids, std::size_t capacity, std::size_t* count);
// ERR_WRONG_INSTR_BOARD on boards without RAMP_UPDATERATE.
int32_t ur_ramp_update_rate(ur_board* board, uint8_t slot, uint16_t updateRate);
// channel 0..5, gain 0..4095; else ERR_PARAM_OUT_OF_RANGE with nothing sent.
int32_t ur_ramp_gain(ur_board* board, int32_t channel, int32_t gain);
int32_t ur_write_io(ur_board* board, uint16_t address, uint8_t value);
