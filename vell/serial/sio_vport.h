// Virtual serial ports: a port name served by an in-memory port instead of the system's.
//
// While a `sio_vport` lives, sio_open of its name opens the virtual port ("COMn" names match in
// any of their spellings, "com3" and "\\.\COM3" open "COM3"; other names match exactly). The
// serial layer then treats the port like any other: line settings, time-outs, purge, input
// count, error flags, drain and close behave as on a real port with the Windows rules of
// serial/sio.h. Every wait of the port is a platform wait measured on the platform clock, so
// under the virtual clock of the tests a 2000 ms read time-out takes no real time.
//
// The object itself is the far end of the line, the device: it sends bytes into the port's input
// queue, receives what the port has sent, holds the port's output (CTS low), raises line errors
// and can go away ("device gone": every transfer and query of the open port then fails, only the
// close succeeds). sim/serial_peer.h builds the scripted device behaviours on top of it.
//
// The line itself takes no time: a byte the port sends reaches the device at once unless the
// output is held (XOFF received while XON/XOFF output control is on, or CTS held low while CTS
// output flow is on); a byte the device sends waits in the 4096-byte input queue. Bytes 17 (XON)
// and 19 (XOFF) from the device are flow control, not data, while the port's XON/XOFF output
// control is on. With fewer than 8 data bits a character carries only its low bits both ways.
// The device's line is assumed to match the port's; a mismatch is not simulated (send line errors
// with send_with_error instead).
//
// Thread safety: the device end may be used from any threads while the port is used by its
// link's owner. A device wait that takes a `stop` event also ends when that event is signalled.
#pragma once

#include <cstdint>
#include <memory>

#include "vell/platform/event.h"
#include "vell/serial/sio.h"

struct sio_vport_core;

class sio_vport {
public:
    // Serves `name` until the object is destroyed. ERR_INVALID_PARAM for a missing or empty name
    // or a missing out-parameter, ERR_CANT_OPEN_SERIAL (with a log line) when the name is already
    // served.
    static int32_t create(const char* name, std::unique_ptr<sio_vport>* out);
    // Ends the service of the name; an open port sees the device gone.
    ~sio_vport();
    sio_vport(const sio_vport&) = delete;
    sio_vport& operator=(const sio_vport&) = delete;

    // --- The device end ---

    // Sends bytes into the port's input queue, waiting up to timeout_ms (U_INFINITE: no limit)
    // for room while the queue is full. Returns the number of bytes sent (the count when all
    // went). Nothing is sent while the port is not open or the device is gone.
    uint32_t send(const void* bytes, uint32_t count, uint32_t timeout_ms, u_handle stop = nullptr);
    // Sends one byte that arrives with a line error: SIO_CE_RXPARITY (flagged only while the
    // port checks parity; the byte arrives either way), SIO_CE_FRAME or SIO_CE_BREAK (the byte
    // arrives and the flag is raised), SIO_CE_OVERRUN (the byte is lost and the flag raised).
    // False when the port is not open, the device is gone or the flag is none of these.
    bool send_with_error(uint8_t byte, uint32_t error);

    // Takes up to max bytes that the port has sent, waiting up to timeout_ms for the first.
    uint32_t receive(void* buffer, uint32_t max, uint32_t timeout_ms, u_handle stop = nullptr);
    // Bytes the port has sent that the device has not taken yet.
    uint32_t unread() const;

    // CTS low (true) or high: while low and the port's CTS output flow is on, the port's output
    // stays in its queue.
    void hold_output(bool hold);
    // The device goes away. Cannot be undone; the name stays served until destruction.
    void hang_up();

    // The port as the device sees it: open, its line settings, DTR raised.
    bool port_open() const;
    sio_state line() const;
    bool dtr() const;
    const char* name() const;

private:
    explicit sio_vport(std::shared_ptr<sio_vport_core> core);
    std::shared_ptr<sio_vport_core> core_;
};
