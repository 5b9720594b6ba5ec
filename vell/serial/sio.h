// Serial port access: the only code that touches a serial port. Every serial instrument link
// (instrument board, wave monitor, temperature controller, position readouts) opens,
// configures, reads, writes and closes its port through these functions.
//
// The layer keeps the Windows communications model on every system: a port has a device
// control block (line settings and flow control, `sio_state`) and a set of time-outs
// (`sio_timeouts`, in milliseconds, with the meaning of the Windows COMMTIMEOUTS fields).
// On Windows they are the driver's own; on POSIX they are carried on termios and poll, see
// serial/posix/sio_posix.cpp.
//
// Port names. On Windows a name is passed to the system as it is, except that a plain
// "COMn" becomes "\\.\COMn" so that ports above COM9 open too. On POSIX:
//   - a name that contains a '/' is a path and is used as it is (a pseudo-terminal's slave
//     path, "/dev/ttyUSB0", ...);
//   - "COMn" (any case, n from 1 to 256, also written "\\.\COMn") is the device named by the
//     environment variable VP_SERIAL_COMn when it is set and not empty, else "/dev/ttyS<n-1>";
//   - any other name is a device under "/dev/" ("ttyUSB0" is "/dev/ttyUSB0").
// On every system, a name served by a virtual port (serial/sio_vport.h) opens that port instead;
// its handle is a negative number below -1, never reused.
//
// Results: 0 on success or a platform error code. The data-transfer operations
// (`sio_send_data`, `sio_read_data`, `sio_clear_buffer`, `sio_input_count`) return 1 on
// failure instead; their callers map that to a code of their own. Every operation that takes a
// handle refuses the closed handle -1 with ERR_SERIAL_NOT_OPEN without touching any port.
//
// A link is used by one thread at a time; the owner of the device record serialises access.
#pragma once

#include <cstdint>

// The port handle: the Windows file handle or the POSIX file descriptor. -1 means closed.
using sio_handle = intptr_t;
constexpr sio_handle SIO_INVALID_HANDLE = -1;

// Serial link record, embedded in the device record that owns the port.
struct sio_link {
    sio_handle handle = SIO_INVALID_HANDLE;
};

// Parity values (the Windows values).
constexpr int32_t SIO_NOPARITY = 0;
constexpr int32_t SIO_ODDPARITY = 1;
constexpr int32_t SIO_EVENPARITY = 2;
constexpr int32_t SIO_MARKPARITY = 3;
constexpr int32_t SIO_SPACEPARITY = 4;

// Stop bit values.
constexpr uint8_t SIO_ONESTOPBIT = 0;
constexpr uint8_t SIO_ONE5STOPBITS = 1;
constexpr uint8_t SIO_TWOSTOPBITS = 2;

// DTR and RTS line control.
constexpr uint8_t SIO_DTR_CONTROL_DISABLE = 0;
constexpr uint8_t SIO_DTR_CONTROL_ENABLE = 1;
constexpr uint8_t SIO_DTR_CONTROL_HANDSHAKE = 2;
constexpr uint8_t SIO_RTS_CONTROL_DISABLE = 0;
constexpr uint8_t SIO_RTS_CONTROL_ENABLE = 1;
constexpr uint8_t SIO_RTS_CONTROL_HANDSHAKE = 2;
constexpr uint8_t SIO_RTS_CONTROL_TOGGLE = 3;

// Software flow control characters and queue limits written by the layer.
constexpr uint8_t SIO_XON_CHAR = 17;
constexpr uint8_t SIO_XOFF_CHAR = 19;
constexpr uint16_t SIO_XON_LIMIT = 100;
constexpr uint16_t SIO_XOFF_LIMIT = 3996;

// Line error flags reported by the port's error query (the Windows CE_ values; see
// sio_input_ready).
constexpr uint32_t SIO_CE_RXOVER = 0x0001;    // input queue overflow
constexpr uint32_t SIO_CE_OVERRUN = 0x0002;   // a character was lost by the receiver
constexpr uint32_t SIO_CE_RXPARITY = 0x0004;  // parity error (only with the parity check on)
constexpr uint32_t SIO_CE_FRAME = 0x0008;     // framing error
constexpr uint32_t SIO_CE_BREAK = 0x0010;     // break condition

// Size of the input and output queues asked for at open.
constexpr uint32_t SIO_QUEUE_SIZE = 4096;

// The device control block: the port's line settings and flow control.
struct sio_state {
    uint32_t baud_rate;
    uint8_t byte_size;       // data bits, 5 to 8
    uint8_t parity;          // SIO_NOPARITY ... SIO_SPACEPARITY
    uint8_t stop_bits;       // SIO_ONESTOPBIT, SIO_ONE5STOPBITS, SIO_TWOSTOPBITS
    uint8_t parity_check;    // 1: received bytes are checked against the parity
    uint8_t binary;          // 1: no end-of-file character, no translation
    uint8_t out_x;           // 1: output stops on XOFF, goes on at XON
    uint8_t in_x;            // 1: XOFF/XON are sent as the input queue fills and empties
    uint8_t xon_char;
    uint8_t xoff_char;
    uint16_t xon_lim;        // XON when fewer bytes than this are waiting
    uint16_t xoff_lim;       // XOFF when fewer free bytes than this remain
    uint8_t dtr_control;     // SIO_DTR_CONTROL_*
    uint8_t rts_control;     // SIO_RTS_CONTROL_*
    uint8_t out_cts_flow;    // 1: output waits while CTS is low
    uint8_t abort_on_error;  // 1: a line error aborts reads and writes until cleared
};

// Time-outs in milliseconds, with the Windows meaning:
//   read_interval: longest pause between two received bytes once the first has come
//     (0: not used);
//   read_total_multiplier × count + read_total_constant: longest time for a whole read
//     (both 0: not used, a read waits for its count);
//   an interval of 0xFFFFFFFF with both read totals 0: a read returns at once with what is
//     waiting;
//   write_total_multiplier × count + write_total_constant: longest time for a whole write
//     (both 0: not used).
struct sio_timeouts {
    uint32_t read_interval;
    uint32_t read_total_multiplier;
    uint32_t read_total_constant;
    uint32_t write_total_multiplier;
    uint32_t write_total_constant;
};
constexpr uint32_t SIO_MAXDWORD = 0xFFFFFFFFu;

// Opens the port for reading and writing, not shared, and stores its handle in the link.
// Then asks for the event mask and 4096-byte queues (POSIX: locks the port and puts it in raw
// mode). ERR_CANT_OPEN_SERIAL when the port cannot be opened (the handle is then -1), and for
// a link that is open already, which keeps its port and handle (with a log line);
// ERR_CANT_SET_SERIAL when the set-up fails (the handle stays in the link: close it).
// ERR_INVALID_PARAM for a missing link.
int32_t sio_open(const char* device, sio_link* link);

// Applies the settings text ("baud,databits,parity,stopbits", for example "9600,8,0,1"; none
// or a file-mode text "r", "r+", "w", "w+", "a", "a+" for 9600 8N1) and the fixed line
// discipline: binary, XON/XOFF as sw_flow says, DTR enabled, RTS handshake, CTS output flow
// and abort-on-error on only without software flow control; then the time-outs read interval
// 100, read total 2000, write total 1000 ms; then raises DTR. A text that is refused leaves
// the port as it was.
int32_t sio_init(sio_handle handle, const char* settings, int32_t sw_flow);

// sio_init with software flow control on: the form the instrument links use.
int32_t sio_init_sw_flow(sio_handle handle, const char* settings);

// Line setters: each reads the current state, changes its own fields and writes it back.
// A value the port cannot take (parity outside 0 to 4, data bits outside 5 to 8, baud rate 0
// or one the system does not offer) is ERR_CANT_SET_SERIAL and changes nothing.
int32_t sio_set_baud_rate(sio_handle handle, uint32_t baud_rate);
int32_t sio_set_parity(sio_handle handle, int32_t parity);     // parity check on when non-zero
int32_t sio_set_data_bits(sio_handle handle, int32_t bits);
int32_t sio_enable_sw_flow(sio_handle handle);   // both XON/XOFF flags, characters, limits
int32_t sio_disable_sw_flow(sio_handle handle);

// The read total time-out constant in whole seconds (truncated), and setting it (seconds ×
// 1000; the other time-outs stay). ERR_INVALID_PARAM for a missing out-parameter, or for a
// count of seconds that is negative or does not fit in milliseconds.
int32_t sio_get_read_timeout(sio_handle handle, int32_t* seconds);
int32_t sio_set_read_timeout(sio_handle handle, int32_t seconds);

// All time-outs. ERR_CANT_GET_SERIAL / ERR_CANT_SET_SERIAL when the port refuses.
int32_t sio_get_timeouts(sio_handle handle, sio_timeouts* timeouts);
int32_t sio_set_timeouts(sio_handle handle, const sio_timeouts* timeouts);

// The device control block: the driver's on Windows; on POSIX the block as the layer last
// wrote it, which may hold more than a pseudo-terminal keeps (see serial/posix/sio_posix.cpp).
// ERR_CANT_GET_SERIAL when the port cannot be queried.
int32_t sio_get_state(sio_handle handle, sio_state* state);

// Writes the whole buffer, then waits until the output has left the port. 0 only if every
// byte was written; `written` (optional) receives the number written.
int32_t sio_send_data(sio_handle handle, const void* buffer, uint32_t count, uint32_t* written);

// Reads exactly count bytes within the port's read time-outs. 0 only if the full count
// arrived; a read cut short by a time-out is a failure. `got` (optional) receives the number
// of bytes stored.
int32_t sio_read_data(sio_handle handle, void* buffer, uint32_t count, uint32_t* got);

// Empties both queues and goes on discarding input until the line stays quiet for 100 ms (the
// read total constant; the multiplier stays and counts for the one byte read); the port's
// time-outs are put back afterwards. 1 when the port keeps sending for longer than the drain
// limit (2000 ms by the clock the port's own time-outs run on: the platform clock for a virtual
// port, the system's monotonic clock for a system port) or a purge fails.
int32_t sio_clear_buffer(sio_handle handle);
constexpr uint32_t SIO_DRAIN_QUIET_MS = 100;
constexpr uint32_t SIO_DRAIN_LIMIT_MS = 2000;

// Number of bytes waiting in the input queue (0 and failure when the query fails).
int32_t sio_input_count(sio_handle handle, uint32_t* count);

// True when the port can be queried, reports no line error and has input waiting: the
// readiness test of a serial device. Never blocks.
bool sio_input_ready(sio_handle handle);

// Reads and clears the port's line error flags (SIO_CE_*, 0 = none). ERR_CANT_GET_SERIAL when
// the port cannot be queried, ERR_INVALID_PARAM for a missing out-parameter.
int32_t sio_line_errors(sio_handle handle, uint32_t* errors);

// Clears the event mask, drops DTR, purges both queues and closes the port (POSIX: with the
// terminal settings it had before sio_open put back); the link's handle is -1 again.
// ERR_SERIAL_NOT_OPEN for a closed link, ERR_INVALID_PARAM for a missing link,
// ERR_CANT_CLOSE_SERIAL when the system reports a failed close: the handle is given up all the
// same, since the system has released it and a retry could close a port opened since under the
// same number.
int32_t sio_close(sio_link* link);
