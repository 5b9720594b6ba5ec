// A virtual wave monitor on a virtual serial port: the unit that reports the tuned laser's
// calibration and status and switches the laser.
//
// It answers the platform's commands (each ended by a carriage return) with the binary answers of
// the wave monitor protocol, little-endian, each closed by ACK (6) or refused with NAK (21):
//   "LO?"          4 bytes, the top bit of the second byte set while the laser is on, ACK
//   "LO=0", "LO=1" ACK; the laser reaches the new state at once (`laser_delay` 0), at the
//                  laser_delay-th "LO?" query after it, or never (-1); another value is refused
//   "MS?"          the flags word and eight 32-bit values, ACK
//   "CC?"          40 bytes of calibration constants when flags bit 30 is set, else the 4-byte
//                  system gain, ACK
//   "CL=%d"        stores the integer, ACK
//   "SS=%f"        stores the number text, ACK
//   "RR=%d,%d"     the two values back as 32-bit values, ACK
// anything else is refused with NAK. Scripted answers replace the next answers to a command (any
// bytes: a NAK, a kind 4 sized answer, rubbish, a cut answer); a silent device takes commands and
// never answers.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vell/sim/serial_peer.h"

namespace sim {

class wavemon_device {
public:
    // Serves the port name; the codes of serial_peer::create.
    static int32_t create(const char* port_name, std::unique_ptr<wavemon_device>* out);
    ~wavemon_device();

    serial_peer& peer() { return *peer_; }

    void set_laser(bool on);
    bool laser() const;
    void set_laser_delay(int queries);

    void set_status(uint32_t flags, const uint32_t values[8]);
    // Calibration constants: ADC gains A..D, system gain, ADC offsets A..D, phase offsets 01, 12, 23.
    void set_calibration(const float adc_gain[4], float sys_gain, const uint16_t adc_offs[4],
                         const float phs_offs[3]);

    // The next answer to `command` (without its carriage return) is `reply`, once per call, in order.
    void script(const std::string& command, std::string reply);
    // Takes commands and never answers.
    void set_silent(bool silent);

    // Every command received, in order, without the carriage returns.
    std::vector<std::string> commands() const;
    int32_t cl_value() const;
    std::string ss_text() const;

private:
    explicit wavemon_device(std::unique_ptr<serial_peer> peer);
    std::string handle(const std::string& command);  // under lock_

    std::unique_ptr<serial_peer> peer_;
    mutable std::mutex lock_;
    bool laser_ = false;
    bool wanted_ = false;
    int laser_delay_ = 0;
    int queries_left_ = 0;
    uint32_t flags_ = 0;
    uint32_t values_[8] = {};
    std::string cc_ = std::string(40, '\0');
    std::map<std::string, std::deque<std::string>> scripts_;
    bool silent_ = false;
    std::vector<std::string> commands_;
    int32_t cl_ = 0;
    std::string ss_;
};

}  // namespace sim
