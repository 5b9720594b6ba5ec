// The virtual instrument of the console's --sim: what answers on the far side of the platform's
// hardware interfaces for the instrument that a calibration file describes.
//
// Serial-board instruments get the virtual controller board of the file's board type on the
// file's InstrComm port, with an EEPROM identity that matches the file (or differs in one chosen
// value) and a software version that every camera rule accepts. CAN instruments get the virtual
// CAN bridge with the file's MAC address and the nodes of its model (make_virtual_can_instrument),
// whose PZT ramp nodes play a started ramp for half a second.
//
// The session's camera is the virtual acquisition library bound in-process
// (use_virtual_camera): its frames take 40 ms of virtual time and their brightness follows the
// light of the instrument whose camera is set up (the ND wheel's or LED node's level on the
// virtual bridge, the level on the virtual board).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vell/instrument/inst_on.h"

struct SysInfo;

namespace sim {
class board_device;
}

namespace inst_shell {

// Which EEPROM value the virtual board reports differently from the calibration file.
enum class identity_field { none, system, board, camera, light, serial, date };
// Parses "system", "board", "camera", "light", "serial" or "date"; false for anything else.
bool identity_field_from(const char* word, identity_field* out);

struct sim_options {
    identity_field differs = identity_field::none;
    std::vector<uint8_t> missing_nodes;  // CAN nodes left out of the virtual network
};

// The EEPROM identity of an instrument as the calibration record describes it, with one value
// changed when asked (a number one higher; a type one higher, wrapping within its table).
inst_eeprom_identity identity_for(const SysInfo& info, identity_field differs);

class virtual_instrument {
public:
    virtual_instrument();
    ~virtual_instrument();
    virtual_instrument(const virtual_instrument&) = delete;
    virtual_instrument& operator=(const virtual_instrument&) = delete;

    // Builds the virtual instrument for the record. NO_ERROR, or the code after `why` says in
    // words why it could not be built.
    int32_t build(const SysInfo& info, const sim_options& options, std::string* why);

    // The virtual board of a serial-board instrument (null otherwise).
    sim::board_device* board() const { return board_.get(); }

    // The light reaching the camera now, 0..1 (the record's light-level device as the virtual
    // instrument holds it).
    double light() const;

private:
    const SysInfo* info_ = nullptr;
    std::unique_ptr<sim::board_device> board_;
    bool wheel_clock_ = false;  // ticks the virtual ND wheel
};

// Binds the virtual acquisition library in place of the real one for the session's
// instruments (a process lock of this process's own, the gain thread's host installed) and
// lets its frames follow their light. release_virtual_camera undoes it.
void use_virtual_camera(const std::vector<std::unique_ptr<virtual_instrument>>* instruments);
void release_virtual_camera();

// The virtual CAN bridge with the record's MAC address and the nodes of its model (less the
// missing ones), bound in place of the CAN bus library.
int32_t make_virtual_can_instrument(const SysInfo& info, const sim_options& options, std::string* why);

}  // namespace inst_shell
