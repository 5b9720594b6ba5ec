// The port backends of the serial layer. The system's ports: one implementation in
// serial/posix/, one in serial/win32/ (namespace sio_os). Virtual ports: serial/sio_vport.cpp
// (namespace sio_virtual). The shared half (serial/sio.cpp) does the handle checks, the settings
// grammar, the line discipline and the draining on top of the primitives of the backend that
// owns the handle.
#pragma once

#include <cstdint>
#include <string>

#include "vell/serial/sio.h"

// The primitives of one kind of port, on an open handle (see sio_os below for their meaning).
struct sio_port_ops {
    bool (*get_state)(sio_handle handle, sio_state& state);
    bool (*set_state)(sio_handle handle, const sio_state& state);
    bool (*get_timeouts)(sio_handle handle, sio_timeouts& timeouts);
    bool (*set_timeouts)(sio_handle handle, const sio_timeouts& timeouts);
    bool (*set_dtr)(sio_handle handle, bool on);
    bool (*purge)(sio_handle handle);
    bool (*clear_errors)(sio_handle handle, uint32_t& errors, uint32_t& in_queue, uint32_t& out_queue);
    bool (*write)(sio_handle handle, const void* buffer, uint32_t count, uint32_t& written);
    bool (*read)(sio_handle handle, void* buffer, uint32_t count, uint32_t& got);
    bool (*close)(sio_handle handle);
    // The clock, in milliseconds, on which the port's own time-outs run; an operation of the
    // shared half that waits across several primitives (the drain) measures on it too, so that
    // one operation never mixes two clocks.
    uint64_t (*now_ms)();
};

namespace sio_virtual {

// Opens the virtual port that serves the name, if one does: true with `rc` (NO_ERROR, or
// ERR_CANT_OPEN_SERIAL when it is open already) and `handle` set; false when no virtual port
// serves the name.
bool open(const char* device, sio_handle& handle, int32_t& rc);

// True for a handle from the virtual ports' range (whether still open or not). The range holds
// only negative values below -1, which no system port handle takes.
bool owns(sio_handle handle);

extern const sio_port_ops ops;

}  // namespace sio_virtual

namespace sio_os {

// The primitives below as a table.
extern const sio_port_ops ops;

// The clock of the system ports' time-outs, in milliseconds: the system's monotonic clock, not
// the platform's (a real port sends and keeps quiet in real time, also while a test or the
// virtual instrument runs the platform on the virtual clock). Replaceable for tests; now_ms()
// reads it.
extern uint64_t (*clock_ms)();
uint64_t now_ms();

// Recognises "COMn" and "\\.\COMn" (letters in any case, n from 1 to 256 without leading
// zeros) and gives n.
bool com_port_number(const char* name, int& number);

// The name handed to the system for a port name (see serial/sio.h).
std::string device_path(const char* name);

// Opens the port. Sets `handle` to the new handle, or -1 when the port did not open.
// Returns NO_ERROR, ERR_CANT_OPEN_SERIAL or ERR_CANT_SET_SERIAL (handle stays set).
int32_t open(const char* device, sio_handle& handle);

// Device control block and time-outs. False when the system refuses.
bool get_state(sio_handle handle, sio_state& state);
bool set_state(sio_handle handle, const sio_state& state);
bool get_timeouts(sio_handle handle, sio_timeouts& timeouts);
bool set_timeouts(sio_handle handle, const sio_timeouts& timeouts);

// Raises or drops DTR. False when the line cannot be driven.
bool set_dtr(sio_handle handle, bool on);

// Discards both queues and ends pending transfers.
bool purge(sio_handle handle);

// Reads and clears the line error flags (0 = none) and reports the number of bytes waiting in
// the input and output queues.
bool clear_errors(sio_handle handle, uint32_t& errors, uint32_t& in_queue, uint32_t& out_queue);

// Writes count bytes within the write time-outs, then waits for the output to drain. True
// when the system accepted every byte.
bool write(sio_handle handle, const void* buffer, uint32_t count, uint32_t& written);

// Reads up to count bytes within the read time-outs. True when the system call itself did not
// fail (a time-out that cuts the read short is not a failure here).
bool read(sio_handle handle, void* buffer, uint32_t count, uint32_t& got);

// Clears the event mask, drops DTR, purges, puts back the settings the port had before it was
// opened (POSIX) and closes. True when the close succeeded. The handle is given up either way:
// the system has released it even when it reports a failure.
bool close(sio_handle handle);

// Input of a port that marks line errors in the data (termios PARMRK without ISTRIP): the
// pair 255 255 is the data byte 255; 255 0 c is the byte c received with a line error, counted
// as SIO_CE_RXPARITY, except 255 0 0, a break or framing error, counted as SIO_CE_FRAME (the
// system tells the two apart in neither case). Decodes n raw bytes in place and returns the
// number of data bytes; a mark cut off at the end is kept in `pending` (0: none, 1: 255 seen,
// 2: 255 0 seen) for the next call, and the error flags are ORed into `errors`. A 255 followed by
// any other byte (which the system never sends) is dropped and the byte kept.
uint32_t unmark_input(uint8_t* bytes, uint32_t n, uint8_t& pending, uint32_t& errors);

}  // namespace sio_os
