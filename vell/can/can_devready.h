// The CAN bus readiness test of the device-control table (serial/devctl.h): a type 64 entry is
// ready when the event pump leaves anything in the CAN event or process-data event queues. The
// pump runs under the CAN event lock.
#pragma once

#include "vell/serial/sio.h"

// The test: the entry's record is the instrument's SysInfo. "Not ready" while the CAN locks
// and queues do not exist yet, and for a missing record.
bool can_dev_ready(sio_handle handle, void* record);

// Installs can_dev_ready as the table's CAN test (done by CAN bring-up before it registers the
// bridge).
void can_dev_ready_install();
