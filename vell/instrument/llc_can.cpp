// Light-level rows of the CAN systems: see llc_boards.h.
#include "vell/calfile/sysinfo.h"
#include "vell/can/can_agc.h"
#include "vell/can/can_ops.h"
#include "vell/instrument/llc.h"
#include "vell/instrument/llc_boards.h"
#include "vell/platform/errors.h"

namespace {

enum class light_node { none, nd_wheel, led };

light_node node_of(const SysInfo& info)
{
    if (!ac_llc_agc_system(info.sysType))
        return light_node::led;
    return info.focusNdwPresent != 0 ? light_node::nd_wheel : light_node::none;
}

}  // namespace

int32_t ac_llc_can_set(SysInfo& info, uint16_t level)
{
    switch (node_of(info)) {
    case light_node::nd_wheel:
        return can_write_ndw_llcLevel(&info, level, true);
    case light_node::led:
        return can_write_llc(&info, level, true);
    case light_node::none:
        break;
    }
    return NO_ERROR;
}

int32_t ac_llc_can_read(SysInfo& info, uint16_t* level)
{
    switch (node_of(info)) {
    case light_node::nd_wheel:
        return can_read_ndw_llcLevel(&info, level, true);
    case light_node::led:
        return can_read_llc(&info, level, true);
    case light_node::none:
        break;
    }
    *level = 0;
    return NO_ERROR;
}

int32_t ac_llc_can_agc_stop(SysInfo& info) { return can_agc_stop_for_failure(&info); }

int32_t ac_llc_can_agc_start(SysInfo& info, int32_t value) { return can_agc_start(&info, value); }

int32_t ac_llc_can_agc_value(SysInfo&, int32_t* value)
{
    *value = can_agc_current_value();
    return NO_ERROR;
}
