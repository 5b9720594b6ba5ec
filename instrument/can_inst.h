// Power-on, power-off, status and reset of the CAN instruments: bridge discovery, node
// bring-up by instrument model, illumination, turret and zoom set-up and CAN event
// registration. Reached through the platform's instrument entry points, which dispatch on the
// instrument board type.
#pragma once

#include <cstdint>

struct SysInfo;

int32_t can_inst_on(SysInfo* si);
// Only the configuration-word read can fail it; every other step is best effort.
int32_t can_inst_off(SysInfo* si);
// The bridge status check with its fault decoding.
int32_t can_inst_status(SysInfo* si);
// Resets the bridge, waits 6000 ms and powers on again.
int32_t can_inst_reset(SysInfo* si);
