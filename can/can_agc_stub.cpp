// TEMPORARY stand-in for the automatic gain control thread, so that instrument power-on links
// on this branch until the gain thread itself is merged. It keeps the suspend count and the
// values but never runs a thread. Drop this file when can/can_agc.cpp lands.
#include "can/can_agc.h"

#include "platform/errors.h"

namespace {
int32_t current = 0;
int32_t saved = 0;
int32_t suspends = 0;
}  // namespace

void can_agc_set_host(const can_agc_host*) {}
int32_t can_agc_init()
{
    current = saved = suspends = 0;
    return NO_ERROR;
}
int32_t can_agc_start(SysInfo*, int32_t value)
{
    if (value == 0)
        return ERR_INVALID_PARAM;
    saved = value;
    return NO_ERROR;
}
int32_t can_agc_start_thread(SysInfo*) { return NO_ERROR; }
int32_t can_agc_stop_thread() { return NO_ERROR; }
int32_t can_agc_suspend(SysInfo*)
{
    ++suspends;
    return NO_ERROR;
}
int32_t can_agc_resume(SysInfo*)
{
    if (suspends > 0)
        --suspends;
    return NO_ERROR;
}
int32_t can_agc_stop_for_failure(SysInfo*)
{
    current = saved = suspends = 0;
    return NO_ERROR;
}
int32_t can_agc_release() { return NO_ERROR; }
int32_t can_agc_current_value() { return current; }
bool can_agc_running() { return false; }
