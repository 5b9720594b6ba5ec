// The per-system half of the serial layer: one implementation in serial/posix/, one in
// serial/win32/. The shared half (serial/sio.cpp) does the handle checks, the settings
// grammar, the line discipline and the draining on top of these primitives.
#pragma once

#include <cstdint>
#include <string>

#include "serial/sio.h"

namespace sio_os {

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

// Clears the event mask, drops DTR, purges and closes. True when the close succeeded.
bool close(sio_handle handle);

}  // namespace sio_os
