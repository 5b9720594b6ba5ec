// A virtual CAN instrument on the virtual bridge: the bridge with the calibration record's MAC
// address and the nodes of the record's instrument model, each with the objects power-on and
// the node operations use, so that the instrument can be powered on without hardware.
//
// The caller binds the bridge (can_bus_use(vcan::table(), vcan::version_high)) before it
// powers the instrument on. Options leave nodes out, keep nodes from becoming operational,
// change product codes, firmware, supply status and the turret and zoom changer.
#pragma once

#include <cstdint>
#include <vector>

struct SysInfo;

namespace vcan {

struct instrument_options {
    uint8_t ip[4] = {192, 168, 0, 10};
    uint8_t fw_major = 10;
    uint8_t fw_minor = 9;
    uint8_t node_id = 127;    // the bridge's configuration as found
    uint32_t bit_rate = 1000;
    std::vector<uint32_t> last_errors;  // successive bridge error answers, then 0
    uint32_t led_product = 0x2672150Du;
    uint32_t brush_motor_product = 0x267215D5u;
    uint8_t bridge_status = 0x08;  // bit 3: external 12 V present; bits 1, 2: supply trips
    uint32_t pzt_status = 0;       // status register of the PZT nodes (faults in bits 24-31)
    uint8_t turret_positions = 5;
    uint8_t turret_position = 1;   // 0: not known (status bit 7 clear)
    uint8_t zoom_positions = 6;
    uint8_t zoom_position = 1;     // raw value of the zoom position object
    uint8_t ring_spot_position = 1;  // raw position of the ring/spot motor: 1 ring, 2 spot
    int32_t ndw_search_ms = 600;   // ND wheel home search, then the move to its start position
    int32_t ndw_move_ms = 300;
    uint8_t ndw_home_result = 0x00;  // 0x10: the home search fails
    std::vector<uint8_t> missing;          // nodes left out of the network
    std::vector<uint8_t> not_operational;  // nodes that stay pre-operational
    // A PI digital scanner (a record whose PIFOC type names one): every controller ramp with this
    // amplitude (0: the scanner does not answer) and velocity, and the DDL tables a PI 751 loads.
    float pi_amplitude = 10.0f;
    float pi_velocity = 810.0f;
    uint16_t pi_ddl_tables = 4;
};

// The node ids of the record's model, in ascending order (the bridge node 127 and the LED
// node 61 always; the others as the model and the calibration flags call for). Empty for a
// record that is not a CAN instrument model.
std::vector<uint8_t> instrument_nodes(const SysInfo& si);

// Resets the virtual bridge and builds the instrument. False (and a reset bridge) when the
// record has no MAC address or its model is not a CAN model.
bool build_instrument(const SysInfo& si, const instrument_options& options = {});

}  // namespace vcan
