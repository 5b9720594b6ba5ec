// Events, waitable timers and the waits on them.
//
// An event is manual-reset (stays signalled until reset; a signal releases every waiter) or
// auto-reset (a signal releases exactly one waiter, or stays pending until one wait consumes
// it). A waitable timer is signalled when its due time comes, and again every period when it
// has one; a manual-reset timer stays signalled until it is set again, an auto-reset one is
// consumed by the wait it releases. Threads (platform/thread.h) are waitable too: they become
// signalled when they end.
//
// Names: an event or timer created with a name can be opened by that name from anywhere in
// the process while at least one handle to it is open; the last close drops the name. Names
// are compared exactly (case matters) and are private to the process.
//
// Every timed wait measures its time-out through the platform time hooks (platform/hooks.h),
// so it runs on the virtual clock in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Handle of a waitable object (event, timer or thread). Null means none.
struct u_object;
using u_handle = u_object*;

// Time-out value meaning "no time limit".
constexpr uint32_t U_INFINITE = 0xFFFFFFFFu;

// The most objects one u_wait_any call accepts.
constexpr std::size_t U_MAX_WAIT_OBJECTS = 64;

// Wait results besides the index of the object that released the wait.
constexpr int U_WAIT_TIMEOUT = -1;
constexpr int U_WAIT_FAILED = -2;

// Creates an event. With a name that an open event already has, returns a new handle to that
// event and leaves its kind and state alone (*existed, when given, tells which happened); a
// name held by a timer gives ERR_CREATE_EVENT. An empty or null name creates a private event.
int32_t u_event_create(bool manual_reset, bool initially_signalled, const char* name, u_handle* out,
                       bool* existed = nullptr);

// Opens the open event of that name: ERR_CREATE_EVENT when there is none.
int32_t u_event_open(const char* name, u_handle* out);

// Signals (ERR_SET_EVENT on a handle that is not an open event) or resets (ERR_RESET_EVENT).
int32_t u_event_set(u_handle event);
int32_t u_event_reset(u_handle event);

// Creates a waitable timer, not armed and not signalled. Names as for events.
int32_t u_timer_create(bool manual_reset, const char* name, u_handle* out, bool* existed = nullptr);

// Arms the timer: not signalled now, signalled due_ms from now and then every period_ms (0: once).
// Arming again replaces the previous due time. ERR_INVALID_PARAM for a handle that is no timer.
int32_t u_timer_set(u_handle timer, uint64_t due_ms, uint32_t period_ms);

// Disarms the timer; its signalled state stays as it is.
int32_t u_timer_cancel(u_handle timer);

// Waits until the object is signalled: 0, U_WAIT_TIMEOUT, or U_WAIT_FAILED for a handle that is
// not open. A time-out of 0 only looks; U_INFINITE waits without limit.
int u_wait_one(u_handle object, uint32_t timeout_ms);

// Waits until the first of the objects is signalled and returns its index; when several are
// signalled at once, the lowest index wins and only that object is consumed. U_WAIT_FAILED for
// no objects, more than U_MAX_WAIT_OBJECTS, or a handle that is not open.
int u_wait_any(const u_handle* objects, std::size_t count, uint32_t timeout_ms);

// Closes a handle of any kind: ERR_INVALID_PARAM for null, ERR_CLOSE_EVENT_HANDLE for a handle
// that is not open (already closed). The object lives on while other handles to it are open; a
// thread whose last handle is closed goes on running on its own.
int32_t u_close_handle(u_handle object);

// Holds an auto-reset event used as a lock (signalled when free) for a scope: waits for it, and
// signals it again on the way out. A null handle, or a wait that fails, holds nothing (false).
class u_event_hold {
public:
    explicit u_event_hold(u_handle lock) : lock_(lock)
    {
        if (lock_ != nullptr && u_wait_one(lock_, U_INFINITE) != 0)
            lock_ = nullptr;
    }
    ~u_event_hold()
    {
        if (lock_ != nullptr)
            u_event_set(lock_);
    }
    u_event_hold(const u_event_hold&) = delete;
    u_event_hold& operator=(const u_event_hold&) = delete;
    explicit operator bool() const { return lock_ != nullptr; }

private:
    u_handle lock_;
};

// Owner of a handle that closes it on destruction.
struct u_handle_closer {
    void operator()(u_object* object) const { u_close_handle(object); }
};
using u_unique_handle = std::unique_ptr<u_object, u_handle_closer>;

// Number of handles open in the process (all kinds). For tests.
std::size_t u_open_handle_count();
