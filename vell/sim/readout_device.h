// A virtual Metronics position readout on a virtual serial port.
//
// Each "KEY 1" query (ended by a line feed) is answered with the display line: the position as
// "%.4f mm" or, shown in inches, "%.4f in", ended by CR LF. A scripted line replaces the display
// (rubbish, an empty line, a line without an end); a silent readout takes queries and never answers.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "vell/sim/serial_peer.h"

namespace sim {

class readout_device {
public:
    static int32_t create(const char* port_name, std::unique_ptr<readout_device>* out);
    ~readout_device();

    serial_peer& peer() { return *peer_; }

    void set_position_mm(double mm);
    void set_inches(bool inches);
    // The next answer is `bytes` as they are, once per call, in order.
    void script(std::string bytes);
    void set_silent(bool silent);
    int queries() const;

private:
    explicit readout_device(std::unique_ptr<serial_peer> peer);
    std::string answer(const std::string& query);
    std::string display() const;  // under lock_

    std::unique_ptr<serial_peer> peer_;
    mutable std::mutex lock_;
    double mm_ = 0.0;
    bool inches_ = false;
    bool silent_ = false;
    int queries_ = 0;
    std::deque<std::string> scripts_;
};

}  // namespace sim
