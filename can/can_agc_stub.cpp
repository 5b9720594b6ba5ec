// TEMPORARY: placeholder of the gain thread's operations (can_agc.h) so that the light-level
// service links on this branch before the gain thread lands. It runs no thread: a start
// remembers its value as the current value, a stop clears it. Delete this file when
// can/can_agc.cpp is merged.
#include "can/can_agc.h"

#include "platform/errors.h"

namespace {
can_agc_host g_host{};
int32_t g_value = 0;
}  // namespace

void can_agc_set_host(const can_agc_host* host) { g_host = host != nullptr ? *host : can_agc_host{}; }

int32_t can_agc_init()
{
    g_value = 0;
    return NO_ERROR;
}

int32_t can_agc_start(SysInfo*, int32_t value)
{
    if (value == 0)
        return ERR_INVALID_PARAM;
    g_value = value;
    return NO_ERROR;
}

int32_t can_agc_start_thread(SysInfo*) { return NO_ERROR; }
int32_t can_agc_stop_thread() { return NO_ERROR; }
int32_t can_agc_suspend(SysInfo*) { return NO_ERROR; }
int32_t can_agc_resume(SysInfo*) { return NO_ERROR; }

int32_t can_agc_stop_for_failure(SysInfo*)
{
    g_value = 0;
    return NO_ERROR;
}

int32_t can_agc_release()
{
    g_value = 0;
    return NO_ERROR;
}

int32_t can_agc_current_value() { return g_value; }
bool can_agc_running() { return false; }
