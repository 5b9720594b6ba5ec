// A virtual temperature controller on a virtual serial port, speaking EI-Bisynch at address "0011".
//
// A message starts with EOT and the address. A parameter write (STX, mnemonic and value, ETX,
// BCC) is answered ACK and stored when its BCC is right, NAK when it is wrong (the error register
// "EE" then reads 4, a checksum error). A parameter read (mnemonic, ENQ) is answered STX, mnemonic,
// value, ETX, BCC, or EOT alone for a mnemonic without a value. Bytes before an EOT are ignored.
// Scripted faults change the answers: every write refused with NAK, reads answered with a wrong
// BCC or with another mnemonic, or no answer at all.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vell/sim/serial_peer.h"

namespace sim {

class tempctl_device {
public:
    enum class fault { none, nak_writes, bad_bcc, wrong_mnemonic, silent };

    static int32_t create(const char* port_name, std::unique_ptr<tempctl_device>* out);
    ~tempctl_device();

    serial_peer& peer() { return *peer_; }

    // The value a read of the two-character mnemonic answers ("" reads as EOT).
    void set_value(const std::string& mnemonic, const std::string& value);
    std::string value(const std::string& mnemonic) const;
    void set_fault(fault f);

    // The parameter texts of the writes accepted, in order ("IM0002.", ...).
    std::vector<std::string> writes() const;

private:
    explicit tempctl_device(std::unique_ptr<serial_peer> peer);
    std::string handle(std::string& pending);  // under lock_

    std::unique_ptr<serial_peer> peer_;
    mutable std::mutex lock_;
    std::map<std::string, std::string> values_;
    fault fault_ = fault::none;
    std::vector<std::string> writes_;
};

}  // namespace sim
