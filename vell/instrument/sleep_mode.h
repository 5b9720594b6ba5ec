// Sleep-mode service of the CAN instruments.
//
// A background thread watches for inactivity: every CAN transfer that counts as activity
// signals its reset event and restarts the idle timer; when the instrument has been idle for
// the calibration record's sleep timeout, the thread posts the sleep-mode event (code 10) into
// the process-data event queue under the CAN event lock, and again once a second until the
// service is stopped. One service per process.
//
// The service owns its objects (idle timer; exit, reset, wakeup and sleep events): start
// creates them before the thread runs, stop joins the thread before closing them, so neither
// a stop that follows a start at once nor a CAN transfer racing a stop ever finds a closed
// handle. No operation signals the sleep or wakeup event: once posting has begun it lasts
// until the service is stopped.
#pragma once

struct SysInfo;

// True when the instrument board is CAN, the system one of Model17, Model19, Model24 or
// Model26, and the sleep timeout is not 0. Null gives false.
bool sleep_mode_applies(const SysInfo* info);

// Starts the service thread with the record, unless a thread is already held (then nothing
// happens). The thread reads info->sleepTimeout each time it arms the idle timer; a timeout
// of 0 arms nothing, so only a stop or a CAN transfer ends that wait. When the objects cannot
// be created or the thread cannot be started, one line is written through the sink and the
// service stays off.
void sleep_mode_start(SysInfo* info);

// False when no thread is held. Otherwise signals the exit event, waits up to 5000 ms for the
// thread (and, after saying so in the log, without limit when it has not ended by then),
// releases the thread and the service's objects and returns true.
bool sleep_mode_stop();

// Whether a service thread is held (started and not stopped since).
bool sleep_mode_running();
