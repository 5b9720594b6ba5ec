#include "vell/can/can_devready.h"

#include "vell/can/can_events.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/serial/devctl.h"

bool can_dev_ready(sio_handle, void* record)
{
    if (record == nullptr)
        return false;
    // The locks are created together with the queues and never closed: when the event lock
    // cannot be opened, there is nothing to pump yet (and the poller must not create it).
    u_handle lock = nullptr;
    if (u_event_open(CAN_EVENT_MUTEX, &lock) != NO_ERROR)
        return false;
    u_close_handle(lock);
    return can_process_events(static_cast<SysInfo*>(record));
}

void can_dev_ready_install() { dev_set_can_test(can_dev_ready); }
