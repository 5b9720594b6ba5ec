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

namespace {

rr_instr_ramps_t (&states())[SB_NUM_SLOTS]
{
    static rr_instr_ramps_t table[SB_NUM_SLOTS];
    return table;
}

}  // namespace

rr_instr_ramps_t* rr_instr_ramps(const sysInfo* si)
{
    if (si == nullptr)
        return nullptr;
    for (int i = 0; i < SB_NUM_SLOTS; ++i)
        if (sysinfo_slot(i) == si)
            return &states()[i];
    return nullptr;
}

void rr_instr_ramps_reset_all()
{
    for (rr_instr_ramps_t& s : states())
        s.clear();
}
