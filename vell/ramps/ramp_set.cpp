#include "vell/ramps/ramp_set.h"

#include <cstring>

rr_instr_ramps_t::rr_instr_ramps_t() { std::memset(slotMap, 255, sizeof slotMap); }

void rr_instr_ramps_t::clear()
{
    haveSet = false;
    ramps.clear();
    numPmiRamps = 0;
    fromConfig = false;
    curRamp = -1;
    wmRampAnswer[0] = wmRampAnswer[1] = 0;
    std::memset(slotMap, 255, sizeof slotMap);
}

rr_instr_ramps_t* rr_instr_ramps(const sysInfo* si)
{
    return si != nullptr ? &si->services.get<rr_instr_ramps_t>() : nullptr;
}
