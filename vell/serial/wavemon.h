// Wave monitor link: short text commands ended by a carriage return, binary answers ended by an
// ACK or NAK byte, on the wave monitor's own serial port. The same unit switches the tuned laser
// on and off and reports its calibration and status.
//
// The link functions take the serial link and, to open it, the device name (the calibration
// record's wmComm); they do not read the calibration record themselves. What the platform keeps
// at run time for an instrument's wave monitor (the open link and the last calibration readout)
// is a `wm_device` in the instrument record's run-time part.
//
// Results: 0 or a platform error code. Every failure writes one line through u_log_sink.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vell/serial/owned_link.h"
#include "vell/serial/sio.h"

struct SysInfo;

// Control bytes of the answers.
constexpr uint8_t WM_ACK = 6;
constexpr uint8_t WM_NAK = 21;

// Answer kinds of wm_comm_read.
enum wm_resp_type : int32_t {
    WM_RESP_ACK = 1,            // one byte, ACK or NAK
    WM_RESP_READ = 2,           // exactly respLen bytes, no acknowledgement
    WM_RESP_READ_ACK = 3,       // respLen bytes, then ACK or NAK
    WM_RESP_SIZE_READ_ACK = 4,  // a 4-byte little-endian count N, respLen + itemSize x N bytes, ACK/NAK
};

// The largest sized answer (kind 4) accepted, count and acknowledgement included. A device that
// announces more is refused before anything is allocated.
constexpr uint64_t WM_MAX_ANSWER = 16u * 1024u * 1024u;

// First-byte time-out used when the caller asks for less than a second.
constexpr int32_t WM_DEFAULT_TIMEOUT_S = 10;

// The growable answer buffer. Its block comes from the platform allocation hooks.
struct wm_buffer {
    uint32_t capacity = 0;
    uint32_t size = 0;
    uint8_t* data = nullptr;
};

// Sets the size. 0 frees the block. Above the capacity the block grows to exactly the new size,
// keeping the bytes stored; below it, with keep_larger clear, the block shrinks to exactly the new
// size keeping what fits. ERR_NO_MEM when the allocation fails (the buffer is then released).
int32_t wm_buf_resize(wm_buffer* buf, uint32_t size, bool keep_larger);
// Frees the block and zeroes capacity and size.
void wm_buf_release(wm_buffer* buf);

// Opens and sets up the port: sio_open, sio_init with software flow control, 115200 baud,
// parity none, software flow control off. A missing or empty device name fails like a port that
// does not exist, without asking the system. Any failure: ERR_WM_COMM, the half-opened port closed.
int32_t wm_comm_open_fd(sio_link* link, const char* device);
// Closes the link when one is given.
int32_t wm_comm_close(sio_link* link);
// Discards pending input. ERR_WM_COMM when the drain fails.
int32_t wm_flush_inp(sio_link* link);
// Sends the command text, then one carriage return. Without a link: nothing, 0.
int32_t wm_comm_write(sio_link* link, const char* command);
// Reads one answer of the given kind into buf (see wm_resp_type); timeout_s is the wait for the
// first byte (below 1: 10 s), later bytes wait the port's own read time-out. On failure the
// buffer is released. On success it holds the answer, for kinds 3 and 4 with the final ACK, for
// kind 4 starting with the count.
int32_t wm_comm_read(sio_link* link, wm_buffer* buf, int32_t respLen, int32_t itemSize, int32_t kind,
                     int32_t timeout_s);
// wm_comm_write, then wm_comm_read.
int32_t wm_comm_write_rd(sio_link* link, const char* command, wm_buffer* buf, int32_t respLen,
                         int32_t itemSize, int32_t kind, int32_t timeout_s);

// --- Operations of the platform ---

// "LO=0" / "LO=1".
int32_t wm_set_laser(sio_link* link, int32_t on);
// "LO?": 1 while the laser is on (top bit of the answer's second byte), else 0.
int32_t wm_get_laser(sio_link* link, int32_t* on);
// Switches and waits: up to 10 tries 1000 ms apart; ERR_RIVERVALE_ABORTED when the abort hook says
// so between tries, ERR_WM_LASER_CONTROL_TIMEOUT after the tenth.
constexpr int32_t WM_LASER_TRIES = 10;
constexpr uint32_t WM_LASER_WAIT_MS = 1000;
int32_t wm_set_laser_with_wait(sio_link* link, int32_t on);

// "CL=" with value x 10^7 truncated; ERR_PARAM_OUT_OF_RANGE (nothing sent) when that does not fit
// in 32 bits. "SS=" with "%f" in the C locale.
int32_t wm_set_cl(sio_link* link, double value);
int32_t wm_set_ss(sio_link* link, double value);
// "RR=a,b": the two 32-bit values of the answer.
int32_t wm_ramp_request(sio_link* link, int32_t a, int32_t b, int32_t out[2]);

// Monitor status ("MS?"): a flags word and eight values, little-endian on the wire.
struct wm_status {
    uint32_t flags = 0;
    uint32_t values[8] = {};
};
int32_t wm_read_status(sio_link* link, wm_status* status);

// Calibration flags.
constexpr uint32_t WM_CAL_CALIBRATED = 1u << 0;
constexpr uint32_t WM_CAL_FULL = 1u << 30;
constexpr uint32_t WM_CAL_BIT31 = 1u << 31;

// The wave monitor's calibration state as last read.
struct wm_calibration {
    uint32_t flags = 0;
    uint8_t topBits = 0;     // flags >> 28
    bool calibrated = false;
    int64_t calTime = 0;     // seconds since 1970, 0 when not calibrated
    float adcGain[4] = {};   // A, B, C, D
    float sysGain = 0.0f;
    uint16_t adcOffs[4] = {};
    float phsOffs[3] = {};   // 0-1, 1-2, 2-3
};
// Reads the calibration state ("MS?", then "CC?" for 4 or 40 bytes). On failure `cal` is left
// as it was.
int32_t wm_read_calibration(sio_link* link, wm_calibration* cal);
// Writes the readout's report lines through u_log_sink.
void wm_report_calibration(const wm_calibration& cal);

// --- Run-time state per instrument ---

// An instrument's wave monitor state; destroying it (the record's run-time reset) closes a link
// left open.
struct wm_device {
    sio_owned_link link;
    wm_calibration cal;
};
// The wave monitor state of an instrument record (any record), created on first use.
wm_device& wm_device_of(SysInfo& info);
// The wave monitor state of a slot's record, null for a slot outside 0..3.
wm_device* wm_slot(int slot);
