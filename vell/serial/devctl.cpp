// Device-control table and its poller thread.
#include "vell/serial/devctl.h"

#include <atomic>
#include <mutex>

#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/platform/thread.h"

dev_info gl_DevInfo;

namespace {

enum { EV_START, EV_STOP, EV_DONE1, EV_DONE2, EV_COUNT };

struct poller_state {
    u_handle events[EV_COUNT] = {};
    u_handle thread = nullptr;
    std::atomic<bool> quit{false};
    std::atomic<dev_ready_fn> can_test{nullptr};
};

poller_state& ps()
{
    static poller_state s;
    return s;
}

// The table's lock: instruments register and remove their devices from their own threads while
// the poller scans. It is never held across a wait.
std::mutex& table_lock()
{
    static std::mutex m;
    return m;
}
using hold = std::lock_guard<std::mutex>;

bool serial_ready(sio_handle handle, void*) { return sio_input_ready(handle); }

bool mc_serial_ready(sio_handle handle, void*) { return sio_input_ready(handle); }

bool mc_event_ready(sio_handle, void* record)
{
    auto* mc = static_cast<dev_mc_link*>(record);
    if (mc == nullptr || mc->event == nullptr)
        return false;
    if (u_wait_one(mc->event, 0) != 0)
        return false;
    u_event_reset(mc->event);
    return true;
}

bool mc_library_ready(sio_handle, void* record)
{
    auto* mc = static_cast<dev_mc_link*>(record);
    // An unbound has-event function means the library is not there: nothing to read.
    return mc != nullptr && mc->has_event != nullptr && mc->has_event(mc->context);
}

bool can_ready(sio_handle handle, void* record)
{
    dev_ready_fn test = ps().can_test.load(std::memory_order_acquire);
    return test != nullptr && test(handle, record);
}

void clear_table()
{
    for (dev_entry& e : gl_DevInfo.entries)
        e = dev_entry{};
    gl_DevInfo.count = 0;
    gl_DevInfo.ready_type = 0;
    gl_DevInfo.ready_index = -1;
    gl_DevInfo.single_pass = 0;
    gl_DevInfo.mask = 0;
}

// True when StopEvent is signalled within timeout_ms (or the wait fails).
bool stop_seen(uint32_t timeout_ms)
{
    return u_wait_one(ps().events[EV_STOP], timeout_ms) != U_WAIT_TIMEOUT;
}

void scan()
{
    dev_info& d = gl_DevInfo;
    u_handle* ev = ps().events;
    {
        hold h(table_lock());
        d.ready_type = 0;
        d.ready_index = -1;
    }
    int candidates = 0;
    for (int i = 0;;) {
        dev_entry e;
        {
            hold h(table_lock());
            e = d.entries[i];
        }
        if (e.in_use == 1 && e.enabled == 1 && (e.type & d.mask) != 0 && e.test != nullptr) {
            if (e.test(e.handle, e.record)) {
                {
                    hold h(table_lock());
                    d.ready_type = e.type;
                    d.ready_index = i;
                }
                u_event_set(ev[EV_DONE1]);
                return;
            }
            ++candidates;
        }
        uint32_t pause = 0;
        if (++i == DEV_MAX_DEVICES) {
            if (d.single_pass) {
                u_event_set(ev[EV_DONE1]);
                return;
            }
            if (candidates == 0)
                return;
            i = 0;
            candidates = 0;
            pause = DEV_PASS_PAUSE_MS;
        }
        if (stop_seen(pause))
            return;
    }
}

int32_t poller(void*)
{
    poller_state& s = ps();
    for (;;) {
        if (u_wait_one(s.events[EV_START], U_INFINITE) != 0)
            return 1;
        if (s.quit.load())
            return 0;
        scan();
        if (u_wait_one(s.events[EV_STOP], U_INFINITE) != 0)
            return 1;
        u_event_reset(s.events[EV_START]);
        u_event_set(s.events[EV_DONE2]);
        if (s.quit.load())
            return 0;
    }
}

int find(sio_handle handle)
{
    for (int i = 0; i < DEV_MAX_DEVICES; ++i)
        if (gl_DevInfo.entries[i].in_use == 1 && gl_DevInfo.entries[i].handle == handle)
            return i;
    return -1;
}

int32_t fail(const char* op, int32_t err)
{
    u_log_sink("%s failed: err=%s\n", op, u_err_name(err));
    return err;
}

}  // namespace

int32_t dev_init_cntrl(bool force)
{
    hold h(table_lock());
    poller_state& s = ps();
    if (gl_DevInfo.initialised && !force)
        return NO_ERROR;
    gl_DevInfo.initialised = 0;
    clear_table();
    for (u_handle& h : s.events) {
        if (h == nullptr && u_event_create(true, false, nullptr, &h) != NO_ERROR) {
            h = nullptr;
            u_log_sink("%s failed: %s\n", "dev_init_cntrl", u_err_name(ERR_DEV_CNTRL));
            return ERR_DEV_CNTRL;
        }
    }
    if (s.thread == nullptr) {
        s.quit.store(false);
        if (u_thread_start(poller, nullptr, &s.thread) != NO_ERROR) {
            s.thread = nullptr;
            u_log_sink("%s failed: %s\n", "dev_init_cntrl", u_err_name(ERR_DEV_CNTRL));
            return ERR_DEV_CNTRL;
        }
    }
    gl_DevInfo.initialised = 1;
    return NO_ERROR;
}

void dev_release_cntrl()
{
    poller_state& s = ps();
    if (s.thread != nullptr) {
        // The poller is parked on StartEvent between polls: wake it with the quit flag set.
        s.quit.store(true);
        u_event_set(s.events[EV_STOP]);
        u_event_set(s.events[EV_START]);
        u_thread_join(s.thread, U_INFINITE);
        u_close_handle(s.thread);
        s.thread = nullptr;
    }
    hold lock(table_lock());
    for (u_handle& h : s.events) {
        if (h != nullptr)
            u_close_handle(h);
        h = nullptr;
    }
    gl_DevInfo.initialised = 0;
}

bool dev_type_valid(int32_t type)
{
    switch (type) {
    case 1: case 2: case 4: case 8: case 16: case 32: case 64:
        return true;
    default:
        u_log_sink("%s: dev_type=%d is invalid\n", "dev_type_valid", static_cast<int>(type));
        return false;
    }
}

int32_t dev_add_device(int32_t type, sio_handle handle, void* record)
{
    hold h(table_lock());
    const char* op = "dev_add_device";
    if (!gl_DevInfo.initialised)
        return fail(op, ERR_DEV_CNTRL);
    if (!dev_type_valid(type))
        return ERR_DEV_CNTRL;
    if (handle == SIO_INVALID_HANDLE)
        return fail(op, ERR_INVALID_PARAM);
    if (find(handle) >= 0)
        return fail(op, ERR_DEV_CNTRL);
    int slot = -1;
    for (int i = 0; i < DEV_MAX_DEVICES && slot < 0; ++i)
        if (gl_DevInfo.entries[i].in_use != 1)
            slot = i;
    if (gl_DevInfo.count >= DEV_MAX_DEVICES || slot < 0) {
        u_log_sink("gl_DevInfo table is full\n");
        return ERR_DEV_CNTRL;
    }
    dev_ready_fn test = nullptr;
    switch (type) {
    case DEV_TYPE_MC: {
        auto* mc = static_cast<dev_mc_link*>(record);
        if (mc == nullptr)
            return fail(op, ERR_INVALID_PARAM);
        if (mc->link_kind == DEV_MC_LINK_SERIAL)
            test = mc_serial_ready;
        else if (mc->link_kind == DEV_MC_LINK_EVENT)
            test = mc_event_ready;
        else if (mc->link_kind == DEV_MC_LINK_LIBRARY)
            test = mc_library_ready;
        else
            return fail(op, ERR_MC_NOT_AVAIL);
        break;
    }
    case DEV_TYPE_KEYBOARD:
        break;
    case DEV_TYPE_CAN:
        test = can_ready;
        break;
    default:
        test = serial_ready;
        break;
    }
    dev_entry& e = gl_DevInfo.entries[slot];
    e.handle = handle;
    e.in_use = 1;
    e.type = type;
    e.enabled = 1;
    e.test = test;
    e.record = record;
    ++gl_DevInfo.count;
    return NO_ERROR;
}

int32_t dev_remove_device(sio_handle handle)
{
    hold h(table_lock());
    const char* op = "dev_remove_device";
    if (!gl_DevInfo.initialised)
        return fail(op, ERR_DEV_CNTRL);
    if (handle == SIO_INVALID_HANDLE)
        return fail(op, ERR_INVALID_PARAM);
    int i = gl_DevInfo.count > 0 ? find(handle) : -1;
    if (i < 0)
        return fail(op, ERR_PARAM_OUT_OF_RANGE);
    gl_DevInfo.entries[i] = dev_entry{};
    --gl_DevInfo.count;
    if (gl_DevInfo.ready_index == i) {
        gl_DevInfo.ready_index = -1;
        gl_DevInfo.ready_type = 0;
    }
    return NO_ERROR;
}

bool dev_registered(sio_handle handle)
{
    hold h(table_lock());
    if (!gl_DevInfo.initialised || handle == SIO_INVALID_HANDLE || gl_DevInfo.count == 0)
        return false;
    return find(handle) >= 0;
}

int32_t dev_set_event_state(sio_handle handle, int32_t state)
{
    hold h(table_lock());
    const char* op = "dev_set_event_state";
    if (!gl_DevInfo.initialised)
        return fail(op, ERR_DEV_CNTRL);
    if (handle == SIO_INVALID_HANDLE || (state != 0 && state != 1))
        return fail(op, ERR_INVALID_PARAM);
    int i = find(handle);
    if (i < 0)
        return fail(op, ERR_PARAM_OUT_OF_RANGE);
    gl_DevInfo.entries[i].enabled = state;
    return NO_ERROR;
}

int32_t dev_data_read(int32_t mask, dev_entry* out, bool wait)
{
    dev_info& d = gl_DevInfo;
    u_handle* ev = ps().events;
    {
        hold h(table_lock());
        d.ready_type = 0;
        d.ready_index = -1;
    }
    if (!d.initialised || (mask != DEV_TYPE_ALL && !dev_type_valid(mask))) {
        u_log_sink("%s: %s\n", "dev_data_read", u_err_name(ERR_DEV_CNTRL));
        return 0;
    }
    d.mask = mask;
    for (;;) {
        // The keyboard (type 32) never reports a key here.
        u_event_reset(ev[EV_DONE1]);
        u_event_reset(ev[EV_DONE2]);
        u_event_reset(ev[EV_STOP]);
        d.single_pass = wait ? 0 : 1;
        u_event_set(ev[EV_START]);
        int r = u_wait_one(ev[EV_DONE1], DEV_READ_WINDOW_MS);
        u_event_set(ev[EV_STOP]);
        if (u_wait_one(ev[EV_DONE2], U_INFINITE) != 0)
            return DEV_NONE_READY;
        // The poller is parked now. A device it found just after the window still counts: its
        // test may already have consumed the device's signal.
        hold h(table_lock());
        if (d.ready_type != 0 && d.ready_index >= 0) {
            const dev_entry& e = d.entries[d.ready_index];
            if (out != nullptr) {
                out->handle = e.handle;
                out->in_use = e.in_use;
                out->type = e.type;
                out->record = e.record;
            }
            return d.ready_type;
        }
        if (r == U_WAIT_FAILED || !wait)
            return DEV_NONE_READY;
    }
}

void dev_set_can_test(dev_ready_fn test) { ps().can_test.store(test, std::memory_order_release); }
