#include "vell/can/can_common.h"

#include "vell/calfile/sysinfo.h"
#include "vell/platform/hooks.h"

bool can_sys_is(const SysInfo* si, std::initializer_list<int32_t> types)
{
    return si != nullptr && sysinfo_type_in(si->sysType, types);
}

bool can_config_word_supported(const CanInfo& c) { return can_config_word_supported(c.fwMajor, c.fwMinor); }

void can_pause_ms(uint32_t ms)
{
    u_sleep_ms(ms);
    u_idle_hook();
}

bool can_zoom_slot(uint32_t raw, uint8_t* slot)
{
    static constexpr uint8_t map[8] = {0, 6, 5, 4, 3, 2, 1, 7};
    if (raw > 7)
        return false;
    *slot = map[raw];
    return true;
}
