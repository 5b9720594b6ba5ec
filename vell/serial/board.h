// Instrument board link: the small binary request/acknowledge protocol of the controller board of
// the older instrument families (board types 1, 3, 6 and 7), on the board's serial port.
//
// Frame, both directions: byte 0 the length L (the bytes that follow, checksum included), byte 1
// the command or report code, then the arguments or reply data (wider values big-endian), and at
// byte L the checksum, the low 8 bits of the sum of bytes 1 ... L-1. A received length of 0 or of
// 128 and above is an empty frame. A reply code of 255 acknowledges, 254 rejects.
//
// Run-time state: each instrument record holds its own `ur_board` in its run-time part: the open
// serial link and the link's own receive buffer. The board type and the port are read from the
// record's calibration part (instrBdType, InstrComm) whenever they are needed, never copied, so
// they always say what the record says. The board remembers the record that holds it; a link
// finds its board by identity (the link is the board's own member, known to the board registry
// from the board's creation to its destruction), not by searching records or comparing handles.
// Destroying the board (the record's run-time reset) closes a link left open.
//
// Requests are strictly sequential per link: one request, then its answer. Every failure writes
// one line through u_log_sink and returns a platform error code; the link stays open.
#pragma once

#include <cstddef>
#include <cstdint>

#include <atomic>

#include "vell/serial/sio.h"

struct SysInfo;

// Serial board types (the calibration record's instrument board types).
constexpr int32_t UR_BOARD_01 = 1;       // vocabulary UZ1_
constexpr int32_t UR_BOARD_HXI = 3;      // vocabulary UZ2_
constexpr int32_t UR_BOARD_MODEL31 = 6;  // vocabulary MODEL31_
constexpr int32_t UR_BOARD_FTP = 7;      // vocabulary FTP_

constexpr uint8_t UR_ACK = 255;
constexpr uint8_t UR_NAK = 254;

// Link statuses of a direct ur_readUZ (ur_writeUZ turns them into retries).
constexpr int32_t UR_STATUS_CHECKSUM = 254;
constexpr int32_t UR_STATUS_REJECTED = 255;

// Response kinds of ur_readUZ.
constexpr int32_t UR_RESP_ACK = 1;     // acknowledgement expected
constexpr int32_t UR_RESP_DATA = 2;    // data reply expected
constexpr int32_t UR_RESP_REPORT = 3;  // unsolicited report expected

constexpr int32_t UR_BAUD = 38400;
constexpr int32_t UR_FIRST_BYTE_TIMEOUT_S = 10;
constexpr int UR_READS = 3;      // frames read per answer
constexpr int UR_ATTEMPTS = 3;   // sends per request
// The largest received frame: a length byte below 128.
constexpr uint32_t UR_MAX_FRAME = 127;

// The board link of one instrument record, kept in the record's run-time part. Not copyable:
// the link is known by its address.
struct ur_board {
    ur_board();
    ~ur_board();  // closes a link left open
    ur_board(const ur_board&) = delete;
    ur_board& operator=(const ur_board&) = delete;

    // The record's instrument board type (instrBdType) and port name (InstrComm, "" when none);
    // 0 and "" for a board that no record holds.
    int32_t type() const;
    const char* port() const;
    SysInfo* record() const { return info.load(std::memory_order_acquire); }

    sio_link link;
    uint8_t rx[UR_MAX_FRAME] = {};        // the last frame received, after its length byte

private:
    friend ur_board& ur_board_of(SysInfo& info);
    std::atomic<SysInfo*> info{nullptr};  // the record that holds the board
};

// The board of an instrument record (any record, a slot's or not), created on first use.
ur_board& ur_board_of(SysInfo& info);
// The board of an instrument slot (0 to 3), null for another slot.
ur_board* ur_board_slot(int slot);

// One command of a vocabulary: request length L as sent (0: a report the board sends), reply
// length as received (0: acknowledgement only).
struct ur_cmd {
    int32_t code;
    const char* name;  // without prefix and "_CMD"
    uint8_t req_len;
    uint8_t reply_len;
};

// The vocabulary of a board type (count entries, in code order) or null; its name prefix.
const ur_cmd* ur_vocabulary(int32_t board_type, std::size_t* count, const char** prefix = nullptr);
// The entry of a code in a board type's vocabulary, or null.
const ur_cmd* ur_cmd_find(int32_t board_type, int32_t code);
// Whether a report code is unsolicited for the board type while an answer is awaited (kinds 1
// and 2), and whether it is a report for kind 3.
bool ur_unsolicited(int32_t board_type, int32_t code);
bool ur_report_code(int32_t board_type, int32_t code);

// Checksum of bytes [0, count).
uint8_t ur_checksum(const uint8_t* bytes, std::size_t count);

// What one received frame means for an answer of the given kind (the frame is the length byte's
// `length` followed by its `body` bytes).
enum class ur_frame_verdict {
    done,       // the answer (success)
    skip,       // an unsolicited report or an empty frame: read the next frame
    checksum,   // checksum mismatch
    rejected,   // NAK
    failed,     // anything else
    empty_ok,   // kind 3: an empty frame answers with no bytes
};
ur_frame_verdict ur_classify_frame(int32_t board_type, int32_t kind, uint8_t length, const uint8_t* body);

// Opens the board's port, the record's InstrComm (38400 baud, no flow control), and registers
// it in the device-control table as type 2 with the board as its record. ERR_WRONG_INSTR_BOARD for a board type without
// the protocol; ERR_UZ_COMM after "ur_initUZ: error initializing %s: %s\n" when a step fails
// (the half-opened port is closed).
int32_t ur_initUZ(ur_board* board);
// Instrument off: removes the port from the device-control table, then closes it.
int32_t ur_closeUZ(ur_board* board);

// Sends a request whose bytes 0 ... L-1 are filled (byte 0 = L, byte 1 = code); unless
// checksum_supplied the checksum goes into byte L (capacity must then be at least L + 1) and L
// must be 2 to 255; a checksum-supplied frame is sent as its L bytes. With a reply expected the
// reply replaces the frame, up to capacity bytes: the echoed code, the data, the checksum. Up to
// three sends when the board rejects or the checksum fails. ERR_UZ_SEND_FAILED,
// ERR_UZ_RECV_FAILED (also for a reply shorter than the command's reply length or with another
// code), ERR_UZ_RECV_TIMEOUT; each failure is logged "ur_writeUZ failed: cmd=%s\n".
int32_t ur_writeUZ(sio_link* link, uint32_t L, uint8_t* frame, std::size_t capacity, bool expect_reply,
                   bool checksum_supplied);

// Reads one answer of the kind into buffer (everything after the length byte, up to capacity;
// ERR_UZ_RECV_FAILED when it does not fit) and the number of bytes stored into *count. Skips up
// to two unsolicited reports or empty frames for kinds 1 and 2. May return the link statuses
// UR_STATUS_CHECKSUM and UR_STATUS_REJECTED.
int32_t ur_readUZ(sio_link* link, uint8_t* buffer, std::size_t capacity, int32_t kind, uint32_t* count);

// The command's full name ("UZ1_LLC_READ_CMD") for log lines; "INVALID_PARAM" when no board's
// link holds the handle or the board's type has no vocabulary; a code beyond the vocabulary names code 0 (board 6,
// which has no code 0: "MODEL31_INVALID_CMD"). The text lives in a buffer of the calling thread
// that the next call overwrites.
const char* ur_cmd_str(sio_handle handle, int32_t code);

// Frame builders: byte 0 from the command table, byte 1 the code, then the arguments. A code
// outside the board's vocabulary or a table length that does not fit the arguments is
// ERR_INVALID_PARAM with nothing sent. Commands with a reply length expect a reply (dropped by
// the builders without a reply buffer).
int32_t ur_send_cmd(sio_link* link, int32_t code);
int32_t ur_send_cmd_u8(sio_link* link, int32_t code, uint8_t value);
int32_t ur_send_cmd_2u8(sio_link* link, int32_t code, uint8_t first, uint8_t second);
int32_t ur_send_cmd_u16(sio_link* link, int32_t code, uint16_t value);
int32_t ur_send_cmd_u32(sio_link* link, int32_t code, uint32_t value);
// A request with `nargs` argument bytes whose reply (echoed code, data, checksum) goes into
// reply, up to capacity bytes; *count (optional) the bytes stored.
int32_t ur_request(sio_link* link, int32_t code, const uint8_t* args, std::size_t nargs, uint8_t* reply,
                   std::size_t capacity, uint32_t* count = nullptr);
