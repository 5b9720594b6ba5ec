// The ramp state of the instruments in the four slots: the ramp set and the slot map.
//
// Kept beside the slots (indexed like sysinfo_slot) until the instrument record carries it.
#pragma once

#include <cstdint>
#include <vector>

#include "calfile/sysinfo.h"
#include "ramps/ramp_file.h"

constexpr int RR_MAX_RAMPS = 254;

struct rr_instr_ramps_t {
    bool haveSet = false;  // a ramp set has been built
    std::vector<rr_ramp_t> ramps;
    int32_t numPmiRamps = 0;
    bool fromConfig = false;  // the set came from a configuration file
    int32_t curRamp = -1;
    uint8_t slotMap[256];  // rampID held by each instrument slot, 255 for an empty slot

    rr_instr_ramps_t();
    // Releases the set: every ramp's samples and the array; count, flags and slot map cleared.
    void clear();
};

// The ramp state of the instrument whose record is `si`, or null when `si` is not one of the
// slot records.
rr_instr_ramps_t* rr_instr_ramps(const sysInfo* si);

// Clears the state of all four slots. For tests.
void rr_instr_ramps_reset_all();
