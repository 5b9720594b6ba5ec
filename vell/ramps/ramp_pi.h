// What a PI digital scanner's controller must hold for an external profile ramp of the set.
#pragma once

#include <cstdint>

struct rr_ramp_t;

// Compares the controller's profile (amplitude in um, velocity in nm/s) with the ramp: the
// amplitude is the scan length, the velocity rampSlope x cameraRate / 1000 signed by the scan
// direction (scanDir 0 is negative), each within 1. A mismatch writes "PI ramp %s amplitude =
// %g, expected %g um\n" (or the velocity line) and gives ERR_MISMATCHED_PI_DIG_RAMP_PARAMS.
int32_t rr_check_pi_profile(const rr_ramp_t& ramp, float amplitude, float velocity);
