// Sleep-mode service: see sleep_mode.h.
#include "vell/instrument/sleep_mode.h"

#include <cstdint>
#include <mutex>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_events.h"
#include "vell/can/can_sdo.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"
#include "vell/platform/thread.h"

namespace {

constexpr uint32_t POST_INTERVAL_MS = 1000;
constexpr uint32_t STOP_WAIT_MS = 5000;

struct service {
    // Thread handle: null when no thread is held. Only start and stop touch it (the caller's
    // thread; the service is not meant to be started and stopped from two threads at once).
    u_handle thread = nullptr;
    u_handle timer = nullptr;
    u_handle exit_event = nullptr;
    u_handle wakeup_event = nullptr;
    u_handle sleep_event = nullptr;
    SysInfo* info = nullptr;

    // The reset event is signalled from any thread that makes a CAN transfer; the lock keeps
    // it from being closed under a signal in progress.
    std::mutex reset_lock;
    u_handle reset_event = nullptr;
};

service& svc()
{
    static service s;
    return s;
}

void signal_reset()
{
    service& s = svc();
    std::lock_guard<std::mutex> lock(s.reset_lock);
    if (s.reset_event != nullptr)
        u_event_set(s.reset_event);
}

void close_if_open(u_handle& h)
{
    if (h != nullptr)
        u_close_handle(h);
    h = nullptr;
}

void close_objects(service& s)
{
    can_set_sleep_reset(nullptr);
    {
        std::lock_guard<std::mutex> lock(s.reset_lock);
        close_if_open(s.reset_event);
    }
    close_if_open(s.timer);
    close_if_open(s.exit_event);
    close_if_open(s.wakeup_event);
    close_if_open(s.sleep_event);
    s.info = nullptr;
}

// Creates the timer and the four events in order; on a failure writes its line, closes what
// was made and answers false.
bool create_objects(service& s)
{
    u_handle reset = nullptr;
    bool ok = true;
    if (u_timer_create(true, nullptr, &s.timer) != NO_ERROR) {
        u_log_sink("Error creating Sleep Mode Timer (%d)\n", os::last_error());
        ok = false;
    } else if (u_event_create(true, false, nullptr, &s.exit_event) != NO_ERROR) {
        u_log_sink("Error creating Sleep Mode Exit Event (%d)\n", os::last_error());
        ok = false;
    } else if (u_event_create(true, false, nullptr, &reset) != NO_ERROR) {
        u_log_sink("Error creating Sleep Mode Reset Event (%d)\n", os::last_error());
        ok = false;
    } else if (u_event_create(true, true, nullptr, &s.wakeup_event) != NO_ERROR) {
        u_log_sink("Error creating Sleep Mode Wakeup Event (%d)\n", os::last_error());
        ok = false;
    } else if (u_event_create(true, false, nullptr, &s.sleep_event) != NO_ERROR) {
        u_log_sink("Error creating Sleep Mode Sleep Event (%d)\n", os::last_error());
        ok = false;
    }
    {
        std::lock_guard<std::mutex> lock(s.reset_lock);
        s.reset_event = reset;
    }
    if (!ok)
        close_objects(s);
    return ok;
}

bool signalled(u_handle h)
{
    return u_wait_one(h, 0) == 0;
}

void post_sleep_event()
{
    can_pd_event_record record;
    record.code = CAN_EV_SLEEP;
    can_post_pd_event(record);
}

int32_t wait_failed()
{
    u_log_sink("Sleep Mode thread: wait failed\n");
    return ERR_WAIT_MULT_EVENTS_FAILED;
}

// The service thread. Its objects exist before it starts and outlive it.
int32_t sleep_mode_thread(void*)
{
    service& s = svc();
    const u_handle reset = s.reset_event;  // fixed while the thread runs
    while (!signalled(s.exit_event)) {
        const uint16_t timeout_s = s.info->sleepTimeout;
        u_handle watch[3] = {s.exit_event, reset, s.timer};
        std::size_t count = 2;
        if (timeout_s != 0) {
            if (u_timer_set(s.timer, uint64_t(timeout_s) * 1000u, 0) != NO_ERROR) {
                u_log_sink("Error setting Sleep Mode timer (%d)\n", os::last_error());
                return ERR_SLEEP_TIMER_SET;
            }
            count = 3;
        }
        const int woke = u_wait_any(watch, count, U_INFINITE);
        if (woke == 1) {
            u_event_reset(reset);
            continue;
        }
        if (woke == 0)
            continue;
        if (woke != 2)
            return wait_failed();

        // Idle for the whole timeout: post now and every second until exit or sleep.
        u_event_reset(s.sleep_event);
        const u_handle posting[2] = {s.exit_event, s.sleep_event};
        int ended = U_WAIT_TIMEOUT;
        while (ended == U_WAIT_TIMEOUT) {
            post_sleep_event();
            ended = u_wait_any(posting, 2, POST_INTERVAL_MS);
        }
        if (ended == U_WAIT_FAILED)
            return wait_failed();
        if (signalled(s.exit_event))
            continue;
        u_event_reset(s.wakeup_event);
        const u_handle waking[2] = {s.exit_event, s.wakeup_event};
        const int w = u_wait_any(waking, 2, U_INFINITE);
        if (w == U_WAIT_FAILED)
            return wait_failed();
        if (w == 1)
            u_event_reset(s.wakeup_event);
        u_event_reset(s.sleep_event);
    }
    return NO_ERROR;
}

}  // namespace

bool sleep_mode_applies(const SysInfo* info)
{
    if (info == nullptr || info->instrBdType != BD_CAN || info->sleepTimeout == 0)
        return false;
    switch (info->sysType) {
    case SYS_MODEL17:
    case SYS_MODEL19:
    case SYS_MODEL24:
    case SYS_MODEL26:
        return true;
    default:
        return false;
    }
}

void sleep_mode_start(SysInfo* info)
{
    service& s = svc();
    if (s.thread != nullptr)
        return;
    if (info == nullptr) {
        u_log_sink("Failed to start Sleep Mode thread\n");
        return;
    }
    if (!create_objects(s))
        return;
    s.info = info;
    can_set_sleep_reset(&signal_reset);
    if (u_thread_start(&sleep_mode_thread, nullptr, &s.thread) != NO_ERROR) {
        s.thread = nullptr;
        close_objects(s);
        u_log_sink("Failed to start Sleep Mode thread\n");
    }
}

bool sleep_mode_stop()
{
    service& s = svc();
    if (s.thread == nullptr)
        return false;
    u_event_set(s.exit_event);
    if (u_thread_join(s.thread, STOP_WAIT_MS) == U_WAIT_TIMEOUT) {
        u_log_sink("Sleep Mode thread did not end within %u ms; waiting for it\n", unsigned(STOP_WAIT_MS));
        u_thread_join(s.thread, U_INFINITE);
    }
    close_if_open(s.thread);
    close_objects(s);
    return true;
}

bool sleep_mode_running() { return svc().thread != nullptr; }
