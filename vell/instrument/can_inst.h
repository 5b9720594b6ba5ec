// Power-on, power-off, status and reset of the CAN instruments: bridge discovery, node
// bring-up by instrument model, illumination, turret and zoom set-up and CAN event
// registration. Reached through the platform's instrument entry points, which dispatch on the
// instrument board type.
#pragma once

#include <cstdint>

struct SysInfo;

// Power-on of slot 0's CAN instrument. Registers the bridge in the device-control table (and
// sets the table up when nobody has yet). A failure leaves the instrument partly up and still
// connected: the caller runs can_inst_off.
int32_t can_inst_on(SysInfo* si);
// Only the configuration-word read can fail it; every other step is best effort. Clears what
// power-on found in the bridge record (address, firmware, product codes, zoom positions,
// keypress modes) and keeps the configured MAC address, so that on works again at once.
int32_t can_inst_off(SysInfo* si);
// The bridge status check with its fault decoding.
int32_t can_inst_status(SysInfo* si);
// Resets the bridge, waits 6000 ms and powers on again.
int32_t can_inst_reset(SysInfo* si);

// The services power-on calls that belong to other subsystems, one call each. Every entry
// returns an error code; a null entry is skipped (success).
struct can_inst_services {
    // Builds the instrument's ramp set; ERR_NO_RAMP_INFO is not a failure.
    int32_t (*ramp_info)(SysInfo* si);
    // Writes the PIFOC offset taken from the ramp set; ERR_NO_RAMP_INFO is not a failure.
    int32_t (*pifoc_offset)(SysInfo* si);
    // Opens the wave monitor link of the tuned-laser systems.
    int32_t (*wave_monitor_on)(SysInfo* si);
    // Loads the camera's bad pixel table.
    int32_t (*bad_pixels)(SysInfo* si);
};
// Installs a set of services (copied); null restores the built-in one.
void can_inst_set_services(const can_inst_services* services);
const can_inst_services& can_inst_default_services();

// The scanner kind power-on found: 1 PIFOC, 2 PZT, 0 neither; -1 before power-on.
int32_t can_inst_scanner_kind(const SysInfo* si);

// The device handle of the CAN bridge in the device-control table: "CAN".
constexpr int32_t CAN_DEVICE_HANDLE = 0x43414E;
