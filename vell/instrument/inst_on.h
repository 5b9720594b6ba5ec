// The platform's instrument entry points: on, off, status and reset of the instrument of a slot,
// dispatching on its instrument board type, and the checks that follow power-on.
//
// inst_on powers the instrument on through the power-on sequence of its board and then refuses
// the camera, frame grabber, software and light combinations that cannot work; only a run
// through all of it sets the slot's instrument-on flag, which every entry clears first.
//
// The power-on sequences are rows of one replaceable table (inst_set_sequence): the CAN row calls
// the CAN bring-up (instrument/can_inst.h); the serial boards (Board01, HXI, Model34 on an HXI
// board, Model31, FTP) open the board link, read the board's software version into the slot and
// check the identity in the board's EEPROM against the slot (sysinfo_check_identity). The
// Model13 board has no link in this build: its row answers ERR_NOT_IMPLEMENTED.
//
// The instrument board service (the EEPROM identity, the board type of a Model13 board, the
// custom camera configuration) is a second replaceable table; the built-in one speaks the board
// link of the slot (serial/board.h).
#pragma once

#include <cstdint>

struct SysInfo;

// ---------------------------------------------------------------------------------------------
// Entry points. A slot outside 0..3 gives ERR_PARAM_OUT_OF_RANGE.

// Powers on, then the checks; sets the instrument-on flag on success.
int32_t inst_on(int slot);
// Powers off (the flag is cleared first).
int32_t inst_off(int slot);
// Asks the instrument whether it is well (bridge status, board answers); changes no flag.
int32_t inst_status(int slot);
// Resets and powers on again, then the checks; sets the instrument-on flag on success.
int32_t inst_reset(int slot);

// ---------------------------------------------------------------------------------------------
// Identity.

// The six values of the EEPROM identity.
struct inst_eeprom_identity {
    int32_t sysType = 0;
    int32_t cameraType = 0;
    int32_t lightType = 0;
    int32_t instrBdType = 0;
    int32_t serialNum = 0;
    int16_t dateCode = 0;
};

// verify true: compares the instrument's identity with the slot (ERR_SB_INST_CONFIG after the
// mismatch lines); false: copies it into the slot. CAN and NOTNEEDED boards have nothing to
// check. Errors of the board service are passed on unchanged.
int32_t sysinfo_check_identity(int slot, bool verify);

// ---------------------------------------------------------------------------------------------
// The instrument board service. Each entry returns an error code.
struct inst_board_service {
    // The EEPROM identity; ERR_WRONG_INSTR_BOARD when no instrument board is connected.
    int32_t (*read_identity)(int slot, SysInfo& info, inst_eeprom_identity* out);
    // The board type of a Model13 board; on failure "Error reading instrument board type\n" and
    // ERR_HW_FAIL.
    int32_t (*read_board_type)(int slot, SysInfo& info, int32_t* type);
    // The custom camera configuration bytes (HXI: 1 and 2; Board01 and FTP: 3, 4, 5, 6, 7, 9,
    // 8, 10); ERR_WRONG_INSTR_BOARD for other boards, ERR_INVALID_PARAM unless the camera is
    // CUSTOM.
    int32_t (*send_camera_config)(int slot, SysInfo& info);
};
// The service in use; install another (copied), or null for the built-in one.
const inst_board_service& inst_board_service_in_use();
void inst_set_board_service(const inst_board_service* service);

// ---------------------------------------------------------------------------------------------
// The power-on sequences.
enum inst_sequence : int32_t {
    INST_SEQ_NONE = 0,  // a board without an instrument: ERR_WRONG_INSTR_BOARD
    INST_SEQ_BOARD01,
    INST_SEQ_HXI,
    INST_SEQ_MODEL34,  // HXI board of a Model34 or Model21
    INST_SEQ_MODEL13,
    INST_SEQ_MODEL31,
    INST_SEQ_FTP,
    INST_SEQ_CAN,
    INST_SEQ_NOTNEEDED,  // nothing to do
    INST_NUM_SEQUENCES,
};

struct inst_sequence_ops {
    int32_t (*on)(int slot, SysInfo& info);
    int32_t (*off)(int slot, SysInfo& info);
    int32_t (*status)(int slot, SysInfo& info);
    int32_t (*reset)(int slot, SysInfo& info);
};

// The sequence of an instrument (by board type, and system type on an HXI board).
inst_sequence inst_sequence_of(const SysInfo& info);
// The row in use for a sequence (null outside the table); replace one (false outside the table)
// or put every built-in row back.
const inst_sequence_ops* inst_sequence_row(int32_t sequence);
bool inst_set_sequence(int32_t sequence, const inst_sequence_ops& ops);
void inst_reset_sequences();

// The built-in sequences of the serial boards, for rows that build on them.
int32_t inst_serial_on(int slot, SysInfo& info);
int32_t inst_serial_off(int slot, SysInfo& info);
int32_t inst_serial_status(int slot, SysInfo& info);
