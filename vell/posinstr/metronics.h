// Metronics digital readout (position instrument type METRONICS): a stage position read as a text
// line on a serial port.
//
// The readout is asked with "KEY 1\n" and answers one line of at most 79 characters ended by a
// carriage return or a line feed: a number, optionally preceded somewhere by "-", in millimetres,
// or in inches when the line contains "in". Positions are returned in millimetres.
//
// The calibration record of the slot names the instrument (posInstrType) and its port (the first
// PosInstr name); the open link and the last position are run-time state of the instrument, kept
// in its record's run-time part.
// Results: 0 or a platform error code; every failure writes one line through u_log_sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "vell/serial/owned_link.h"
#include "vell/serial/sio.h"

struct SysInfo;

inline constexpr char METRONICS_QUERY[] = "KEY 1\n";
// Longest answer line, its end excluded.
constexpr int METRONICS_MAX_LINE = 79;
// Pause before the port is drained after an answer.
constexpr uint32_t METRONICS_SETTLE_MS = 100;

// Run-time state of an instrument's readout; destroying it (the record's run-time reset) closes
// a link left open.
struct pi_metronics {
    sio_owned_link link;
    double position = std::numeric_limits<double>::infinity();  // millimetres; +infinity until read
};
// The readout state of an instrument record (any record), created on first use.
pi_metronics& pi_metronics_of(SysInfo& info);
// The readout state of a slot's record, null for a slot outside 0..3.
pi_metronics* pi_metronics_slot(int slot);

// Opens the readout of the slot's calibration record: ERR_INVALID_PARAM for a slot outside 0..3
// or a position instrument that is not METRONICS; ERR_POS_INSTR_COMM when the port cannot be
// opened or initialised (a missing or empty device name included); then 115200 baud, no parity,
// 8 data bits, a failure there returned as it comes. The port is closed again on any failure.
// A link the slot already holds is closed first. Reads one position and discards it (the readout's
// first answer after opening is not relied on; its failure does not fail the open).
int32_t pi_metronics_open(int slot);
// Closes the slot's readout link (nothing when it is not open).
int32_t pi_metronics_close(int slot);

// Asks for the position and reads it: +infinity in *position (and in the slot) on any failure,
// which is ERR_POS_INSTR_COMM. ERR_INVALID_PARAM for a bad slot or a missing out-parameter.
int32_t metronics_read_pos(int slot, double* position);

// The answer line's parser (without its end of line): the position in millimetres, or
// ERR_POS_INSTR_COMM with its message for an empty, rubbish or non-ASCII line. Numbers are read
// without the process locale, in decimal only (no hexadecimal, infinity or NaN forms).
int32_t metronics_parse_line(const char* text, std::size_t length, double* position);

