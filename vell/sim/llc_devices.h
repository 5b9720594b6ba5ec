// The virtual instrument's light devices that a host reaches through one set and one read:
// the LLC instrument, the motion controller's light output and the camera shutter.
//
// Each device holds a value that moves to a newly set value along a straight line over its
// settle time (virtual clock), so that a wait for the light to settle runs against it. A set
// or a read can be made to fail. Safe from any thread.
#pragma once

#include <cstdint>
#include <vector>

namespace vllc {

enum device { LLC_INSTR = 0, MC_LIGHT = 1, SHUTTER = 2 };

// All devices back to value 0, settled, no failures, no recorded calls; settle time 0.
void reset();

// The value now (along the ramp after a set).
double value(device d);
// Sets the value at once, settled (as the device was found at power-on).
void put(device d, double v);
// Time a set takes to reach its value.
void set_settle_ms(device d, uint32_t ms);
// Makes sets or reads answer failure (-1) until cleared.
void fail_sets(device d, bool fail);
void fail_reads(device d, bool fail);
// Values of the accepted sets, in order, and the number of reads answered.
std::vector<double> sets(device d);
int reads(device d);

// The host's entry points: 0 on success, -1 on failure. Integer reads round the value
// half away from zero.
int32_t llc_instr_set(int32_t level);
int32_t llc_instr_read(int32_t* level);
int32_t mc_light_set(int32_t value);
int32_t mc_light_read(int32_t* value);
int32_t shutter_set(double shutter);
int32_t shutter_read(double* shutter);

}  // namespace vllc
