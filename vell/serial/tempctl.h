// Temperature controller link: the EI-Bisynch protocol of the FTP instruments' temperature
// controller at the fixed address "0011". Parameter writes are framed with STX, ETX and a block
// check character (BCC, the exclusive-or of every byte after STX up to and including ETX);
// parameter reads end with ENQ and are answered by STX, mnemonic and value, ETX, BCC, or by EOT
// alone when the controller has no such value.
//
// The link functions take the serial link and, to open it, the device name (the calibration
// record's TempSensor name); the serial layer does not read the calibration record itself.
// Results: 0 or a platform error code; every failure writes one line through u_log_sink and
// leaves the port open.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vell/serial/owned_link.h"
#include "vell/serial/sio.h"

struct SysInfo;

constexpr uint8_t TEMP_EOT = 4;
constexpr uint8_t TEMP_STX = 2;
constexpr uint8_t TEMP_ETX = 3;
constexpr uint8_t TEMP_ENQ = 5;
constexpr uint8_t TEMP_ACK = 6;
constexpr uint8_t TEMP_NAK = 21;

// The controller's address: group "00", unit "11".
inline constexpr char TEMP_ADDRESS[] = "0011";

// Answer kinds.
constexpr int32_t TEMP_RESP_WRITE = 1;  // answer to a parameter write: ACK or NAK
constexpr int32_t TEMP_RESP_READ = 2;   // answer to a parameter read: STX text ETX BCC, or EOT

// Longest answer read, ETX included: the text between STX and ETX has at most 255 characters.
constexpr int TEMP_STR_MAX_LEN = 256;

// First-byte time-out of every answer, and the pause after the sensor initialisation.
constexpr int32_t TEMP_FIRST_BYTE_TIMEOUT_S = 10;
constexpr uint32_t TEMP_INIT_PAUSE_MS = 5000;

// The block check character of bytes (the exclusive-or of all of them).
uint8_t temp_bcc(const void* bytes, std::size_t count);

// sio_open, sio_init with software flow control, 9600 baud, even parity, 7 data bits, software
// flow control off. A missing or empty device name fails like a port that does not exist, without
// asking the system. Any failure: ERR_TEMP_SENSOR_COMM, the half-opened port closed.
int32_t temp_comm_open(sio_link* link, const char* device);
// Nothing without a link (or with a closed one); ERR_TEMP_SENSOR_COMM when the close fails.
int32_t temp_comm_close(sio_link* link);

// Sends one message and reads its answer. Kind 1: text holds `length` characters of parameter
// text ("IM0002."), sent framed with STX, ETX and BCC. Kind 2: text holds the two-character
// mnemonic; on success text receives the value (the answer after the mnemonic) with a
// terminating zero, never more than `capacity` bytes (a longer value: ERR_TEMP_SENSOR_READ).
// Without a link nothing is sent and the result is 0.
int32_t temp_comm_write(sio_link* link, char* text, int32_t length, int32_t kind, std::size_t capacity);

// Reads one answer of the given kind. For kind 2, answer receives the text between STX and ETX
// with a terminating zero; it must hold TEMP_STR_MAX_LEN bytes (capacity below that:
// ERR_INVALID_PARAM). For kind 1 answer may be null.
int32_t temp_comm_read(sio_link* link, char* answer, std::size_t capacity, int32_t kind);

// The sensor initialisation of the FTP power-on: "IM0002.", "QD0002.", "Q10000.", "IM0000."
// written in turn (the first failure ends it), then a pause of 5000 ms.
int32_t temp_comm_init(sio_link* link);

// --- Run-time state per instrument ---

// An instrument's temperature controller link; destroying it (the record's run-time reset)
// closes the link when it is open.
struct temp_device {
    sio_owned_link link;
};
// The temperature controller of an instrument record (any record), created on first use.
temp_device& temp_device_of(SysInfo& info);
// The temperature controller link of a slot's record, null for a slot outside 0..3.
sio_link* temp_slot(int slot);
